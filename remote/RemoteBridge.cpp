#include "RemoteBridge.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "config/AppSettings.h"
#include "config/RelayPermission.h"
#include "core/DataFolder.h"
#include "core/EventArgs.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "device/UnitReachability.h"
#include "protocol/StatusCodes.h"
#include "log/Log.h"
#include "log/NowText.h"
#include "netmon/NetworkMonitor.h"

namespace
{
constexpr int kQos = 1;
constexpr int kIdleLoopCapMs = 10000;
// Nothing wakes a wait for a connection that is still being made, so it looks at the stop
// this often; a stop must end the program within a second.
constexpr int kConnectingLoopMs = 200;
constexpr std::chrono::milliseconds kShutdownFlush{500};
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

std::once_flag g_libraryInit;

using Clock = std::chrono::steady_clock;

int Ms(Clock::duration d)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

std::string ErrorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return mosquitto_strerror(rc);
}
}

CRemoteBridge::CRemoteBridge(CQuillmereManager* manager, Poster poster)
    : m_manager(manager), m_status(manager->GetDeviceStatus()), m_settings(manager->GetSettings()),
      m_log(manager->GetLog()), m_poster(std::move(poster))
{
}

CRemoteBridge::~CRemoteBridge()
{
    Stop();
}

bool CRemoteBridge::Start()
{
    const CRemoteConfigResult result = LoadRemoteConfig(GetDataFolder());
    if (result.State == RemoteConfigState::Invalid)
    {
        if (m_log != nullptr)
            m_log->Write(LogEntryLevel::Error, "Remote: " + result.Error + "; the broker connection stays off");
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_statusLine = "Remote: offline (" + result.Error + ")";
        }
        ShowStatusLine();
        return false;
    }
    if (result.State != RemoteConfigState::Enabled)
        return false;
    return Start(result.Config);
}

bool CRemoteBridge::Start(const CRemoteConfig& config)
{
    if (IsRunning())
        return false;
    m_config = config;
    m_endpoint = m_config.Host + ":" + std::to_string(m_config.EffectivePort());
    m_base = m_config.BaseTopic();
    std::call_once(g_libraryInit, [] { mosquitto_lib_init(); });
    if (!Configure())
        return false;

    TakeSettingsSnapshot();
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_statusLine = "Remote: offline (connecting)";
    }
    ShowStatusLine();
    m_manager->Attach(this);
    m_manager->AttachStatusObserver(this);
    m_manager->AttachLogObserver(this);
    if (m_settings != nullptr)
        m_settings->Attach(this);
    m_attached = true;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool CRemoteBridge::Configure()
{
    const std::string clientId = "quillmere-" + m_config.Site;
    m_mosq = mosquitto_new(clientId.c_str(), true, this);
    std::string failure;
    int rc = MOSQ_ERR_NOMEM;
    if (m_mosq != nullptr)
    {
        // The library is told that other threads call it, so that those calls only queue and
        // never write to the socket themselves.
        mosquitto_threaded_set(m_mosq, true);
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m_mosq, &CRemoteBridge::OnConnect);
        mosquitto_disconnect_callback_set(m_mosq, &CRemoteBridge::OnDisconnect);
        mosquitto_message_callback_set(m_mosq, &CRemoteBridge::OnMessage);
        mosquitto_log_callback_set(m_mosq, &CRemoteBridge::OnLibraryLog);
        const std::string availability = m_base + "/availability";
        rc = mosquitto_will_set(m_mosq, availability.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline, kQos,
                                true);
        failure = "the last will";
    }
    if (rc == MOSQ_ERR_SUCCESS && !m_config.Username.empty())
    {
        rc = mosquitto_username_pw_set(m_mosq, m_config.Username.c_str(),
                                       m_config.PasswordFile.empty() ? nullptr : m_config.Password.c_str());
        failure = "the user name";
    }
    if (rc == MOSQ_ERR_SUCCESS && m_config.UsesTls())
    {
        rc = mosquitto_tls_set(m_mosq, m_config.CaFile.c_str(), nullptr,
                               m_config.CertFile.empty() ? nullptr : m_config.CertFile.c_str(),
                               m_config.KeyFile.empty() ? nullptr : m_config.KeyFile.c_str(), nullptr);
        failure = "ca_file, cert_file or key_file";
        if (rc == MOSQ_ERR_SUCCESS && !m_config.TlsVerify)
        {
            rc = mosquitto_tls_opts_set(m_mosq, 0, nullptr, nullptr);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_insecure_set(m_mosq, true);
            failure = "tls_verify";
        }
    }
    if (rc == MOSQ_ERR_SUCCESS)
        return true;

    const std::string reason = "cannot set " + failure + ": " + ErrorText(rc);
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, "Remote: " + reason + "; the broker connection stays off");
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_statusLine = "Remote: offline (" + reason + ")";
    }
    ShowStatusLine();
    if (m_mosq != nullptr)
        mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    return false;
}

void CRemoteBridge::Stop()
{
    if (!IsRunning())
        return;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
        if (m_connected)
            PublishLocked(m_base + "/availability", kOffline, true);
    }
    // The "offline" just queued wakes the bridge thread out of its wait on the socket; a
    // thread waiting to retry is woken here.
    m_wake.notify_all();
    m_thread.join();

    if (m_attached)
    {
        m_manager->Detach(this);
        if (m_status != nullptr)
            m_status->Detach(this);
        if (m_log != nullptr)
            m_log->Detach(this);
        if (m_settings != nullptr)
            m_settings->Detach(this);
        m_attached = false;
    }
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_connected = false;
        m_statusLine.clear();
    }
    ShowStatusLine();
}

bool CRemoteBridge::IsConnected() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_connected;
}

std::string CRemoteBridge::GetStatusLine() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_statusLine;
}

void CRemoteBridge::ShowStatusLine()
{
    // Never with m_mutex held: the manager's observers include this bridge.
    m_manager->SetRemoteLine(GetStatusLine());
}

// --- the bridge thread -----------------------------------------------------------------

void CRemoteBridge::Run()
{
    std::chrono::milliseconds delay = kFirstRetry;
    bool everTried = false;
    bool reported = false;   // the current outage has its log line
    while (!m_stop)
    {
        m_connackError.clear();
        TakeLibraryError();
        int rc = everTried ? mosquitto_reconnect_async(m_mosq)
                           : mosquitto_connect_async(m_mosq, m_config.Host.c_str(), m_config.EffectivePort(),
                                                     m_config.KeepAlive);
        everTried = true;
        m_connectedThisAttempt = false;
        const auto attemptStart = Clock::now();
        bool timedOut = false;
        while (rc == MOSQ_ERR_SUCCESS && !m_stop)
        {
            rc = mosquitto_loop(m_mosq, LoopTimeoutMs(), 1);
            PostWaitingRelays();
            FlushRefusals();
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_connected && m_statusDirty && Clock::now() - m_lastStatus >= kStatusInterval)
                FlushStatusLocked(Clock::now());
            if (rc == MOSQ_ERR_SUCCESS && !m_connectedThisAttempt && Clock::now() - attemptStart >= kConnectTimeout)
            {
                timedOut = true;
                rc = MOSQ_ERR_NO_CONN;
            }
        }
        if (m_stop)
            break;

        std::string reason = !m_connackError.empty() ? m_connackError : TakeLibraryError();
        if (reason.empty())
            reason = timedOut ? "no answer within " + std::to_string(kConnectTimeout.count()) + " s" : ErrorText(rc);
        const bool wasConnected = m_connectedThisAttempt;
        bool conflict = false;
        if (wasConnected)
        {
            conflict = NoteConnectionEnd(Clock::now() - m_connectedAt, delay);
            if (!conflict)
                reported = false;
        }
        if (conflict)
            reason = "another program is connected as site " + m_config.Site;
        SetOffline(reason);
        if (!reported)
        {
            if (m_log != nullptr)
                m_log->Write(LogEntryLevel::Error, (wasConnected ? "Remote: connection to " + m_endpoint + " lost ("
                                                                 : "Remote: cannot reach " + m_endpoint + " (") +
                                                       reason + ")");
            reported = true;
        }
        WaitBeforeRetry(delay);
    }

    // A clean goodbye, queued after "offline" so that the broker gets that first. A broker
    // never reached gets none: a connection still being made would only hold the shutdown.
    mosquitto_disconnect(m_mosq);
    if (!IsConnected())
        return;
    const auto deadline = Clock::now() + kShutdownFlush;
    while (Clock::now() < deadline && mosquitto_loop(m_mosq, 100, 1) == MOSQ_ERR_SUCCESS)
    {
    }
}

bool CRemoteBridge::NoteConnectionEnd(Clock::duration lived, std::chrono::milliseconds& delay)
{
    const auto now = Clock::now();
    if (lived >= kSettledLife)
    {
        // A connection that lasted is the end of any conflict: start again from the shortest wait.
        m_shortConnections.clear();
        m_siteConflict = false;
        delay = kFirstRetry;
        return false;
    }
    if (lived < kShortLife)
        m_shortConnections.push_back(now);
    while (!m_shortConnections.empty() && now - m_shortConnections.front() > kSettledLife)
        m_shortConnections.pop_front();
    if (!m_siteConflict && m_shortConnections.size() >= kConflictCount)
    {
        m_siteConflict = true;
        if (m_log != nullptr)
            m_log->Write(LogEntryLevel::Error, "Remote: another program is connected as site " + m_config.Site);
    }
    // While it lasts, the two programs take turns at the longest wait instead of fighting.
    if (m_siteConflict)
        delay = kLastRetry;
    return m_siteConflict;
}

void CRemoteBridge::WaitBeforeRetry(std::chrono::milliseconds& delay)
{
    // Half the delay plus a random half, so that a fleet that lost its broker together does
    // not come back in one wave.
    static thread_local std::minstd_rand random(std::random_device{}());
    const auto half = delay / 2;
    const auto wait = half + std::chrono::milliseconds(random() % (static_cast<unsigned>(half.count()) + 1));
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, wait, [this] { return m_stop.load(); });
    delay = std::min<std::chrono::milliseconds>(delay * 2, kLastRetry);
}

int CRemoteBridge::LoopTimeoutMs()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_connected)
        return kConnectingLoopMs;
    {
        // A relay command waiting for the pace is looked at again when the next token is due.
        std::lock_guard<std::mutex> pace(m_paceMutex);
        for (const auto& entry : m_relaySlots)
            if (entry.second.Command.IsValid() && !entry.second.Posted)
                return static_cast<int>(1000 / kCommandsPerSecond);
    }
    // Within the status interval after a status went out, wake at its end: a change that
    // came in meanwhile is waiting for it.
    const auto windowEnd = m_lastStatus + kStatusInterval;
    const auto now = Clock::now();
    if (now < windowEnd)
        return std::max(1, Ms(windowEnd - now));
    return std::min(kIdleLoopCapMs, m_config.KeepAlive * 500);
}

void CRemoteBridge::SetOffline(const std::string& reason)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_connected = false;
        m_statusLine = "Remote: offline (" + reason + ")";
    }
    ShowStatusLine();
}

std::string CRemoteBridge::TakeLibraryError()
{
    std::lock_guard<std::mutex> guard(m_libraryErrorMutex);
    std::string error;
    error.swap(m_libraryError);
    return error;
}

void CRemoteBridge::OnLibraryLog(mosquitto*, void* self, int level, const char* text)
{
    // Called from inside the library's own calls, on any thread: only remember the text.
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0 || text == nullptr)
        return;
    auto* bridge = static_cast<CRemoteBridge*>(self);
    std::lock_guard<std::mutex> guard(bridge->m_libraryErrorMutex);
    bridge->m_libraryError = text;
}

void CRemoteBridge::OnConnect(mosquitto*, void* self, int rc)
{
    auto* bridge = static_cast<CRemoteBridge*>(self);
    if (rc != 0)
    {
        bridge->m_connackError = std::string("the broker refused: ") + mosquitto_connack_string(rc);
        return;
    }
    bridge->HandleConnected();
}

void CRemoteBridge::OnDisconnect(mosquitto*, void* self, int /*rc*/)
{
    auto* bridge = static_cast<CRemoteBridge*>(self);
    std::lock_guard<std::mutex> guard(bridge->m_mutex);
    bridge->m_connected = false;
}

void CRemoteBridge::HandleConnected()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_connected = true;
        m_connectedThisAttempt = true;
        m_connectedAt = Clock::now();
        m_statusLine = "Remote: connected to " + m_endpoint;
        // Whatever the broker held may be gone (a restarted broker without persistence):
        // every retained topic goes out again.
        m_retained.clear();
        PublishRetainedLocked(m_base + "/availability", kOnline);
        PublishUnitAvailabilityLocked();
        if (m_config.Commands)
        {
            for (const std::string& filter : {m_base + "/relay/+/set", m_base + "/reset", m_base + "/poll"})
                mosquitto_subscribe(m_mosq, nullptr, filter.c_str(), kQos);
        }
        m_statusDirty = true;
        FlushStatusLocked(Clock::now());
        PublishDiscoveryLocked();
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
    ShowStatusLine();
    if (m_log != nullptr && !m_siteConflict)
        m_log->Write(LogEntryLevel::Event, "Remote: connected to " + m_endpoint);
}

// --- commands --------------------------------------------------------------------------

void CRemoteBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    if (message == nullptr || message->topic == nullptr)
        return;
    auto* bridge = static_cast<CRemoteBridge*>(self);
    // A retained command is an old one the broker replays to every new subscriber: carrying
    // it out would repeat it at every start and reconnect.
    if (message->retain)
        return bridge->IgnoreRetained(message->topic);
    if (message->payloadlen > static_cast<int>(CRemoteCommand::kMaxPayloadBytes))
        return bridge->Refuse("payload of " + std::to_string(message->payloadlen) + " bytes on " + message->topic +
                              " is over " + std::to_string(CRemoteCommand::kMaxPayloadBytes));
    const std::string payload = message->payload != nullptr && message->payloadlen > 0
                                    ? std::string(static_cast<const char*>(message->payload),
                                                  static_cast<std::size_t>(message->payloadlen))
                                    : std::string();
    bridge->HandleCommand(message->topic, payload);
}

void CRemoteBridge::IgnoreRetained(const std::string& topic)
{
    // Only told; never cleared from here, since the bridge deletes nothing it did not publish.
    if (!m_retainedIgnored.insert(topic).second || m_log == nullptr)
        return;
    m_log->Write(LogEntryLevel::Error, "Remote command ignored: retained message on " + topic +
                                           "; clear it with an empty retained message");
}

void CRemoteBridge::HandleCommand(const std::string& topic, const std::string& payload)
{
    const std::string prefix = m_base + "/";
    if (topic.compare(0, prefix.size(), prefix) != 0)
        return;   // not ours: a filter never delivers it
    CRemoteCommand command = ParseRemoteCommand(std::string_view(topic).substr(prefix.size()), payload);
    if (!command.IsValid())
    {
        Refuse(command.Error);
        return;
    }
    using Kind = CRemoteCommand::Kind;
    const std::string what = topic.substr(prefix.size());
    if (command.What == Kind::RelayOn || command.What == Kind::RelayOff || command.What == Kind::RelayCycle)
    {
        {
            // The newest intent for a relay wins: one still waiting is replaced, not queued behind.
            std::lock_guard<std::mutex> guard(m_paceMutex);
            RelaySlot& slot = m_relaySlots[command.Relay];
            slot.Command = command;
            if (slot.Posted)
                return;
        }
        PostRelay(command.Relay);
        return;
    }
    std::string refusal;
    {
        std::lock_guard<std::mutex> guard(m_paceMutex);
        const auto now = Clock::now();
        if (command.What == Kind::Reset && m_resetTaken && now - m_lastReset < kResetInterval)
            refusal = "a reset is taken at most once every " + std::to_string(kResetInterval.count()) + " s; " + what +
                      " dropped";
        else if (!TakeToken())
            refusal = "more than " + std::to_string(static_cast<int>(kCommandsPerSecond)) + " commands a second; " +
                      what + " dropped";
        if (refusal.empty() && command.What == Kind::Reset)
        {
            m_resetTaken = true;
            m_lastReset = now;
        }
    }
    if (!refusal.empty())
        return Refuse(refusal);
    if (m_pendingCommands.fetch_add(1) >= kMaxPendingCommands)
    {
        m_pendingCommands.fetch_sub(1);
        Refuse("too many commands waiting; " + what + " dropped");
        return;
    }
    m_poster([this, command] {
        Execute(command);
        m_pendingCommands.fetch_sub(1);
    });
}

bool CRemoteBridge::TakeToken()
{
    const auto now = Clock::now();
    if (m_tokensAt == Clock::time_point{})
        m_tokensAt = now;
    const double refill = std::chrono::duration<double>(now - m_tokensAt).count() * kCommandsPerSecond;
    m_tokens = std::min(kCommandBurst, m_tokens + refill);
    m_tokensAt = now;
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

void CRemoteBridge::PostRelay(int relay)
{
    {
        std::lock_guard<std::mutex> guard(m_paceMutex);
        RelaySlot& slot = m_relaySlots[relay];
        if (slot.Posted || !slot.Command.IsValid() || !TakeToken())
            return;   // an empty bucket: the bridge thread posts it once a token is back
        slot.Posted = true;
    }
    m_poster([this, relay] {
        CRemoteCommand command;
        {
            // Whatever came last while the task waited is what is carried out.
            std::lock_guard<std::mutex> guard(m_paceMutex);
            RelaySlot& slot = m_relaySlots[relay];
            command = slot.Command;
            slot.Command = {};
            slot.Posted = false;
        }
        if (command.IsValid())
            Execute(command);
    });
}

void CRemoteBridge::PostWaitingRelays()
{
    std::vector<int> waiting;
    {
        std::lock_guard<std::mutex> guard(m_paceMutex);
        for (const auto& [relay, slot] : m_relaySlots)
            if (slot.Command.IsValid() && !slot.Posted)
                waiting.push_back(relay);
    }
    for (int relay : waiting)
        PostRelay(relay);
}

void CRemoteBridge::FlushRefusals()
{
    // A count still held when the interval is over is written now, not at a later refusal
    // that may never come.
    std::string text;
    {
        std::lock_guard<std::mutex> guard(m_refusalMutex);
        if (m_refusalsUnlogged == 0 || Clock::now() - m_lastRefusalLog < m_refusalInterval)
            return;
        text = "Remote command refused: " + std::to_string(m_refusalsUnlogged) + " more commands refused";
        m_refusalsUnlogged = 0;
        m_refusalLogged = false;
    }
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, text);
}

void CRemoteBridge::Execute(const CRemoteCommand& command)
{
    if (!m_manager->IsLinkRunning())
    {
        Refuse("the link to the unit is not running");
        return;
    }
    using Kind = CRemoteCommand::Kind;
    switch (command.What)
    {
    case Kind::Poll:
        m_manager->Poll();
        return;
    case Kind::Reset:
        m_manager->ResetDeviceBy(kCommandSource);
        return;
    case Kind::None:
        return;
    default:
        break;
    }

    const CRelaySetting* setting = m_settings != nullptr ? m_settings->FindRelaySetting(command.Relay) : nullptr;
    const std::string relay = "relay " + std::to_string(command.Relay);
    if (setting == nullptr)
    {
        Refuse(relay + " is not configured");
        return;
    }
    const RelayPermission permission = setting->GetPermission();
    const std::string permissionText = RelayPermissionToText(RelayPermissionRead(permission));
    if (command.What == Kind::RelayCycle)
    {
        if (!RelayPermissionAllowsCycle(permission))
            return Refuse(relay + " may not be power-cycled (permission " + permissionText + ")");
        m_manager->PowerCycleRelayBy(command.Relay, kCommandSource);
        return;
    }
    if (!RelayPermissionAllowsSwitch(permission))
        return Refuse(relay + " may not be switched on or off (permission " + permissionText + ")");
    m_manager->SetRelayBy(command.Relay, command.What == Kind::RelayOn ? 0 : 1, kCommandSource);
}

void CRemoteBridge::Refuse(const std::string& reason)
{
    std::string text;
    {
        std::lock_guard<std::mutex> guard(m_refusalMutex);
        const auto now = Clock::now();
        if (m_refusalLogged && now - m_lastRefusalLog < m_refusalInterval)
        {
            ++m_refusalsUnlogged;
            return;
        }
        text = "Remote command refused: " + reason;
        if (m_refusalsUnlogged > 0)
            text += " (" + std::to_string(m_refusalsUnlogged) + " more refused before it)";
        m_refusalsUnlogged = 0;
        m_refusalLogged = true;
        m_lastRefusalLog = now;
    }
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, text);
}

// --- observing the program -------------------------------------------------------------

void CRemoteBridge::Update(CEventArgs* args)
{
    if (args == nullptr)
        return;
    if (auto* line = dynamic_cast<CWriteLogEventArgs*>(args))
        OnLogLine(line->Line);
    else if (dynamic_cast<CStatusChangedEventArgs*>(args) != nullptr ||
             dynamic_cast<CNetworkMonitorErrorEventArgs*>(args) != nullptr)
        StatusChanged();
    else if (auto* relay = dynamic_cast<CRelayStateChangedEventArgs*>(args))
        OnRelayState(relay->Relay, relay->NewState);
    else if (dynamic_cast<CUnitReachabilityChangedEventArgs*>(args) != nullptr)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_connected)
            PublishUnitAvailabilityLocked();
    }
    else if (dynamic_cast<CUnsolicitedResponse*>(args) != nullptr ||
             dynamic_cast<CTamperUnsolicitedResponse*>(args) != nullptr)
        return;   // unasked messages reach the relay states and the status model; not the link's outcome
    else if (auto* response = dynamic_cast<CCommandResponse*>(args))
        OnLinkResult(response->GetType(), response->GetResult());
    else if (dynamic_cast<CSettingsChangedEventArgs*>(args) != nullptr ||
             dynamic_cast<CRelaySettingChangedEventArgs*>(args) != nullptr ||
             dynamic_cast<CNetworkMonitorChangeEventArgs*>(args) != nullptr)
        TakeSettingsSnapshot();   // raised on the UI thread, where the settings may be read
}

void CRemoteBridge::OnLogLine(const std::string& line)
{
    std::string time, level, text;
    if (!SplitLogEntry(line, time, level, text) || level == GetLogLevelWord(LogEntryLevel::Debug))
        return;
    const std::string json = EventJson(time, level, text);
    std::lock_guard<std::mutex> guard(m_mutex);
    PublishEventLocked(json);
}

void CRemoteBridge::PublishEventLocked(const std::string& json)
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

void CRemoteBridge::OnRelayState(int relay, int state)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    // A relay that changed is published at once, not held back with the status.
    if (m_connected && state >= 0)
        PublishRetainedLocked(m_base + "/relay/" + std::to_string(relay) + "/state", RelayStateText(state));
    m_statusDirty = true;
    if (m_connected && Clock::now() - m_lastStatus >= kStatusInterval)
        FlushStatusLocked(Clock::now());
}

void CRemoteBridge::OnLinkResult(int type, LinkStatus result)
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

void CRemoteBridge::StatusChanged()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_statusDirty = true;
    const auto now = Clock::now();
    // The first change after a quiet spell goes out at once; later ones wait for the bridge
    // thread at the end of the interval (a status just published wakes it).
    if (m_connected && now - m_lastStatus >= kStatusInterval)
        FlushStatusLocked(now);
}

void CRemoteBridge::TakeSettingsSnapshot()
{
    std::vector<CRemoteRelayView> relays;
    std::vector<std::pair<CRemoteMonitorView, std::shared_ptr<CNetworkMonitor>>> monitors;
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
            monitors.emplace_back(std::move(view), monitor);
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    const bool relaysChanged =
        relays.size() != m_relaySettings.size() ||
        !std::equal(relays.begin(), relays.end(), m_relaySettings.begin(), [](const auto& a, const auto& b) {
            return a.Index == b.Index && a.Name == b.Name && a.Permission == b.Permission;
        });
    m_relaySettings = std::move(relays);
    m_monitors = std::move(monitors);
    m_statusDirty = true;
    if (m_connected && relaysChanged)
        PublishDiscoveryLocked();
    if (m_connected && Clock::now() - m_lastStatus >= kStatusInterval)
        FlushStatusLocked(Clock::now());
}

// --- publishing (m_mutex held) ---------------------------------------------------------

bool CRemoteBridge::PublishLocked(const std::string& topic, const std::string& payload, bool retain)
{
    if (m_mosq == nullptr)
        return false;
    return mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.empty() ? nullptr : payload.data(), kQos, retain) == MOSQ_ERR_SUCCESS;
}

void CRemoteBridge::PublishRetainedLocked(const std::string& topic, const std::string& payload)
{
    auto held = m_retained.find(topic);
    if (held != m_retained.end() && held->second == payload)
        return;
    if (PublishLocked(topic, payload, true))
        m_retained[topic] = payload;
}

void CRemoteBridge::PublishUnitAvailabilityLocked()
{
    // Read from the engine's one decision rather than the record, so that a reconnect says the
    // same; a unit that has not answered yet in this run is not shown as there.
    const bool answers = m_manager->GetReachability().GetState() == CUnitReachability::State::Reachable;
    PublishRetainedLocked(m_base + "/unit/availability", answers ? kOnline : kOffline);
}

std::vector<CRemoteRelayView> CRemoteBridge::RelayViewsLocked()
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

void CRemoteBridge::FlushStatusLocked(std::chrono::steady_clock::time_point now)
{
    if (m_status == nullptr)
        return;
    m_statusDirty = false;
    m_lastStatus = now;
    const std::vector<CRemoteRelayView> relays = RelayViewsLocked();
    PublishRetainedLocked(m_base + "/status", StatusJson(*m_status, relays, m_linkError));
    for (const CRemoteRelayView& relay : relays)
    {
        if (relay.State >= 0)
            PublishRetainedLocked(m_base + "/relay/" + std::to_string(relay.Index) + "/state",
                                  RelayStateText(relay.State));
    }

    std::set<std::string> monitorTopics;
    for (auto& [view, monitor] : m_monitors)
    {
        view.Failures = monitor->GetFailureCount();
        view.ResetsUsed = monitor->GetCurrentResetCount();
        view.Kind = CheckKindName(monitor->GetCheckKind());
        view.LastResult = monitor->GetLastResult();
        const std::string topic = m_base + "/monitor/" + TopicLevel(view.EventName) + "/state";
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

void CRemoteBridge::PublishDiscoveryLocked()
{
    if (!m_config.Discovery)
        return;
    std::set<std::string> topics;
    for (const auto& [topic, payload] : DiscoveryConfigs(m_config, RelayViewsLocked()))
    {
        topics.insert(topic);
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
