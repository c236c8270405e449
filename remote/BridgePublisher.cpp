#include "BridgePublisher.h"

#include <algorithm>

#include "config/AppSettings.h"
#include "JsonWriter.h"
#include "RemoteCommand.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "device/UnitReachability.h"
#include "log/Log.h"
#include "log/NowText.h"
#include "netmon/NetworkMonitor.h"

namespace
{
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
}

CBridgePublisher::CBridgePublisher(CQuillmereManager* manager, Sender sender, const IClock& clock)
    : m_manager(manager), m_status(manager->GetDeviceStatus()), m_settings(manager->GetSettings()),
      m_log(manager->GetLog()), m_sender(std::move(sender)), m_clock(clock)
{
}

void CBridgePublisher::SetConfig(const CRemoteConfig& config)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config = config;
    m_base = config.BaseTopic();
}

// --- records ---------------------------------------------------------------------------

void CBridgePublisher::OnLogLine(const std::string& line)
{
    std::string time, level, text;
    if (!SplitLogEntry(line, time, level, text) || level == GetLogLevelWord(LogEntryLevel::Debug))
        return;
    const std::string json = EventJson(time, level, text);
    std::lock_guard<std::mutex> guard(m_mutex);
    PublishEventLocked(json);
}

void CBridgePublisher::OnRelayState(int relay, int state)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    // A relay that changed is published at once, not held back with the status.
    if (m_connected && state >= 0)
        PublishRetainedLocked(m_base + "/relay/" + std::to_string(relay) + "/state", RelayStateText(state));
    m_statusDirty = true;
    FlushIfQuietLocked();
}

void CBridgePublisher::OnLinkResult(int type, LinkStatus result)
{
    std::string error;
    if (result != LinkStatus::Ok)
        error = m_manager->FailureLine(type, result);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (error == m_linkError)
            return;
        m_linkError = error;
    }
    StatusChanged();
}

void CBridgePublisher::OnUnitReachability()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_connected)
        PublishUnitAvailabilityLocked();
}

void CBridgePublisher::StatusChanged()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_statusDirty = true;
    FlushIfQuietLocked();
}

void CBridgePublisher::FlushIfQuietLocked()
{
    // The first change after a quiet spell goes out at once; later ones wait for the bridge
    // thread at the end of the interval (a status just published wakes it).
    if (m_connected && m_clock.Now() - m_lastStatus >= kStatusInterval)
        FlushStatusLocked();
}

void CBridgePublisher::TakeSettingsSnapshot()
{
    std::vector<CRemoteRelayView> relays;
    std::vector<std::pair<CRemoteMonitorView, std::shared_ptr<CNetworkMonitor>>> monitors;
    std::vector<std::string> standIns;
    if (m_settings != nullptr)
    {
        for (const CRelaySetting* setting : m_settings->GetRelaySettings())
            relays.push_back({setting->GetIndex(), setting->GetName(), setting->GetPermission(), -1});
        for (const auto& monitor : m_settings->GetNetworkMonitors())
        {
            CRemoteMonitorView view;
            view.EventName = monitor->GetEventName();
            view.Target = monitor->GetTarget();
            view.Limit = monitor->GetAutoResetLimit();
            bool standIn = false;
            TopicLevel(view.EventName, &standIn);
            if (standIn && m_standInsTold.insert(view.EventName).second)
                standIns.push_back(view.EventName);
            monitors.emplace_back(std::move(view), monitor);
        }
    }
    // A name no topic can carry is published under the level that stands in for it; said once
    // a run, so that whoever looks for it on the broker knows where.
    if (m_log != nullptr)
    {
        CRemoteConfig config;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            config = m_config;
        }
        for (const std::string& name : standIns)
        {
            std::string shown;
            CJsonWriter::AppendEscaped(shown, name);
            m_log->Write(LogEntryLevel::Event, "Remote: the monitor " + shown + " is published as " +
                                                   MonitorTopic(config, name) +
                                                   ": its name holds characters no topic can carry");
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    bool entitiesChanged =
        relays.size() != m_relaySettings.size() || monitors.size() != m_monitorNames.size() ||
        !std::equal(relays.begin(), relays.end(), m_relaySettings.begin(), [](const auto& a, const auto& b) {
            return a.Index == b.Index && a.Name == b.Name && a.Permission == b.Permission;
        });
    for (std::size_t i = 0; !entitiesChanged && i < monitors.size(); ++i)
        entitiesChanged = monitors[i].first.EventName != m_monitorNames[i];
    m_relaySettings = std::move(relays);
    m_monitors = std::move(monitors);
    m_statusDirty = true;
    // Before the first discovery of a connection only the topics it will use are taken.
    if (m_connected && entitiesChanged)
        PublishDiscoveryLocked(m_discoverySent);
    FlushIfQuietLocked();
}

void CBridgePublisher::ForgetOfflineEvents()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_offlineEvents.clear();
    m_droppedEvents = 0;
}

// --- the connection --------------------------------------------------------------------

void CBridgePublisher::Connected()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connected = true;
    // Whatever the broker held may be gone (a restarted broker without persistence): every
    // retained topic goes out again.
    m_retained.clear();
    PublishRetainedLocked(m_base + "/availability", kOnline);
    PublishUnitAvailabilityLocked();
    m_statusDirty = true;
    // The topics at once, so that the read-back of an earlier run's configs spares them; the
    // configs themselves once the unit told who it is, or kIdentityWait after connecting.
    m_discoverySent = false;
    m_discoveryDue = m_clock.Now() + kIdentityWait;
    PublishDiscoveryLocked(false);
    FlushStatusLocked();
    if (m_droppedEvents > 0)
    {
        PublishLocked(m_base + "/event",
                      EventJson(NowText(), GetLogLevelWord(LogEntryLevel::Event),
                                std::to_string(m_droppedEvents) + " events dropped while offline"),
                      false);
        m_droppedEvents = 0;
    }
    for (const std::string& event : m_offlineEvents)
        PublishLocked(m_base + "/event", event, false);
    m_offlineEvents.clear();
}

void CBridgePublisher::Disconnected()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connected = false;
}

bool CBridgePublisher::GoOffline()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const bool was = m_connected;
    if (was)
        PublishLocked(m_base + "/availability", kOffline, true);
    m_connected = false;
    return was;
}

void CBridgePublisher::OldDiscoverySeen(const std::string& topic)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_connected || m_discoveryTopics.count(topic) != 0)
        return;
    PublishLocked(topic, {}, true);   // an entity this site no longer has
    m_retained.erase(topic);
}

void CBridgePublisher::FlushDue()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_connected)
        return;
    if (m_statusDirty)
        FlushIfQuietLocked();
    // A check that failed or answered raises nothing: its monitor is looked at on each turn.
    PublishMonitorsLocked();
    SendDiscoveryWhenDueLocked();
}

std::chrono::milliseconds CBridgePublisher::Due() const
{
    using std::chrono::milliseconds;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_connected)
        return milliseconds::max();
    const auto now = m_clock.Now();
    // Within the interval after a status went out, wake at its end: a change may come in
    // meanwhile, and nothing else would wake the thread for it. One held back is due at once
    // when the interval ended between its check and this reading of the clock.
    auto left = m_lastStatus + kStatusInterval - now;
    if (left <= IClock::Steady::duration::zero())
        left = m_statusDirty ? IClock::Steady::duration::zero() : IClock::Steady::duration::max();
    if (m_config.Discovery && !m_discoverySent && m_status != nullptr)
        left = std::min(left, m_discoveryDue - now);
    if (left == IClock::Steady::duration::max())
        return milliseconds::max();
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(left));
}

bool CBridgePublisher::IsHoldingStatus() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_connected && m_statusDirty;
}

// --- publishing (m_mutex held) ---------------------------------------------------------

bool CBridgePublisher::PublishLocked(const std::string& topic, const std::string& payload, bool retain)
{
    return m_sender(topic, payload, retain);
}

bool CBridgePublisher::PublishRetainedLocked(const std::string& topic, const std::string& payload)
{
    auto held = m_retained.find(topic);
    if (held != m_retained.end() && held->second == payload)
        return false;
    if (!PublishLocked(topic, payload, true))
        return false;
    m_retained[topic] = payload;
    return true;
}

void CBridgePublisher::PublishEventLocked(const std::string& json)
{
    if (m_connected && PublishLocked(m_base + "/event", json, false))
        return;
    if (m_offlineEvents.size() == kMaxOfflineEvents)
    {
        m_offlineEvents.pop_front();
        ++m_droppedEvents;
    }
    m_offlineEvents.push_back(json);
}

void CBridgePublisher::PublishUnitAvailabilityLocked()
{
    // Read from the engine's one decision rather than the record, so that a reconnect says the
    // same; a unit that has not answered yet in this run is not shown as there.
    const bool answers = m_manager->GetReachability().GetState() == CUnitReachability::State::Reachable;
    PublishRetainedLocked(m_base + "/unit/availability", answers ? kOnline : kOffline);
}

std::vector<CRemoteRelayView> CBridgePublisher::RelayViewsLocked()
{
    const CRelayStates& states = m_manager->GetRelayStates();
    std::vector<CRemoteRelayView> views = m_relaySettings;
    for (CRemoteRelayView& view : views)
        view.State = states.GetState(view.Index);
    const auto known = states.GetStates();
    for (std::int32_t index = 1; index <= CRelayStates::kRelayCount; ++index)
    {
        const std::int32_t state = known[static_cast<std::size_t>(index - 1)];
        const bool named = std::any_of(views.begin(), views.end(), [&](const auto& v) { return v.Index == index; });
        if (state != CRelayStates::kUnknown && !named)
            views.push_back({index, {}, -1, state});
    }
    return views;
}

void CBridgePublisher::FlushStatusLocked()
{
    if (m_status == nullptr)
        return;
    m_statusDirty = false;
    const std::vector<CRemoteRelayView> relays = RelayViewsLocked();
    // Only a status that went out starts the interval: its publication is what wakes the
    // bridge thread to look again at the interval's end. One that changed nothing must not
    // hold back the next change, which nothing would wake it for.
    if (PublishRetainedLocked(m_base + "/status", StatusJson(*m_status, relays, m_linkError)))
        m_lastStatus = m_clock.Now();
    for (const CRemoteRelayView& relay : relays)
    {
        if (relay.State >= 0)
            PublishRetainedLocked(m_base + "/relay/" + std::to_string(relay.Index) + "/state",
                                  RelayStateText(relay.State));
    }

    PublishMonitorsLocked();
    // The device block carries the firmware and the ICCID once the unit told them; a change
    // after the configs went out (a firmware update) sends them again.
    if (m_config.Discovery && m_discoverySent && DeviceInfoOf(*m_status) != m_deviceInfo)
        PublishDiscoveryLocked();
    SendDiscoveryWhenDueLocked();
}

void CBridgePublisher::PublishMonitorsLocked()
{
    std::set<std::string> monitorTopics;
    for (auto& [view, monitor] : m_monitors)
    {
        view.Failures = monitor->GetFailureCount();
        view.ResetsUsed = monitor->GetCurrentResetCount();
        view.Kind = CheckKindName(monitor->GetCheckKind());
        view.LastResult = monitor->GetLastResult();
        const std::string topic = MonitorTopic(m_config, view.EventName);
        monitorTopics.insert(topic);
        PublishRetainedLocked(topic, MonitorJson(view));
    }
    for (const std::string& gone : m_monitorTopics)
    {
        if (monitorTopics.count(gone) == 0)
        {
            PublishLocked(gone, {}, true);   // an empty retained message removes it
            m_retained.erase(gone);
        }
    }
    m_monitorTopics = std::move(monitorTopics);
}

void CBridgePublisher::SendDiscoveryWhenDueLocked()
{
    if (!m_config.Discovery || m_discoverySent || m_status == nullptr)
        return;
    const CRemoteDeviceInfo device = DeviceInfoOf(*m_status);
    if ((device.Firmware.empty() || device.Iccid.empty()) && m_clock.Now() < m_discoveryDue)
        return;
    PublishDiscoveryLocked();
}

void CBridgePublisher::PublishDiscoveryLocked(bool send)
{
    if (!m_config.Discovery)
        return;
    m_discoverySent = m_discoverySent || send;
    std::set<std::string> topics;
    if (m_status != nullptr)
        m_deviceInfo = DeviceInfoOf(*m_status);
    m_monitorNames.clear();
    for (const auto& entry : m_monitors)
        m_monitorNames.push_back(entry.first.EventName);
    for (const auto& [topic, payload] : DiscoveryConfigs(m_config, RelayViewsLocked(), m_monitorNames, m_deviceInfo))
    {
        topics.insert(topic);
        if (send)
            PublishRetainedLocked(topic, payload);
    }
    for (const std::string& gone : m_discoveryTopics)
    {
        if (topics.count(gone) == 0)
        {
            PublishLocked(gone, {}, true);
            m_retained.erase(gone);
        }
    }
    m_discoveryTopics = std::move(topics);
}
