#include "RemoteBridge.h"

#include <mosquitto.h>

#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "core/EventArgs.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "protocol/CommandResponse.h"

CRemoteBridge::CRemoteBridge(CQuillmereManager* manager, Poster poster, const IClock& clock)
    : m_manager(manager),
      m_publisher(
          manager,
          [this](const std::string& topic, const std::string& payload, bool retain) {
              return m_session.Publish(topic, payload, retain);
          },
          clock),
      m_intake(manager, std::move(poster), clock),
      m_session(manager->GetLog(),
                CBridgeSession::Hooks{
                    [this] { Connected(); },
                    [this] { m_publisher.Disconnected(); },
                    [this](const std::string& topic, std::string_view payload, bool retained) {
                        Message(topic, payload, retained);
                    },
                    [this] {
                        m_intake.Tick();
                        m_publisher.FlushDue();
                    },
                    [this] { return std::min(m_intake.Due(), m_publisher.Due()); },
                    [this] { ShowStatusLine(); },
                    [this] { m_publisher.GoOffline(); },
                },
                clock)
{
    Route();
}

CRemoteBridge::~CRemoteBridge()
{
    Stop();
}

void CRemoteBridge::Route()
{
    m_routes.On<CWriteLogEventArgs>([this](const CWriteLogEventArgs& line) { m_publisher.OnLogLine(line.Line); });
    m_routes.On<CStatusChangedEventArgs>([this](const auto&) { m_publisher.StatusChanged(); });
    m_routes.On<CNetworkMonitorErrorEventArgs>([this](const auto&) { m_publisher.StatusChanged(); });
    m_routes.On<CRelayStateChangedEventArgs>(
        [this](const CRelayStateChangedEventArgs& relay) { m_publisher.OnRelayState(relay.Relay, relay.NewState); });
    m_routes.On<CUnitReachabilityChangedEventArgs>([this](const auto&) { m_publisher.OnUnitReachability(); });
    // Only the answers to the link's own commands are its outcome; unasked messages reach the
    // relay states and the status model, which raise records of their own.
    m_routes.On<CCommandResponse>([this](const CCommandResponse& response) {
        m_publisher.OnLinkResult(response.GetType(), response.GetResult());
        m_intake.LinkAnswered(response);
    });
    m_routes.Ignore<CUnsolicitedResponse>();
    m_routes.Ignore<CTamperUnsolicitedResponse>();
    // Raised on the UI thread, where the settings may be read.
    m_routes.On<CSettingsChangedEventArgs>([this](const auto&) { m_publisher.TakeSettingsSnapshot(); });
    m_routes.On<CRelaySettingChangedEventArgs>([this](const auto&) { m_publisher.TakeSettingsSnapshot(); });
    m_routes.On<CNetworkMonitorChangeEventArgs>([this](const auto&) { m_publisher.TakeSettingsSnapshot(); });
}

void CRemoteBridge::Update(CEventArgs* args)
{
    m_routes.Dispatch(args);
}

bool CRemoteBridge::Start()
{
    const CRemoteConfigResult result = LoadRemoteConfig(GetDataFolder());
    if (result.State == RemoteConfigState::Invalid)
    {
        if (CLog* log = m_manager->GetLog())
            log->Write(LogEntryLevel::Error, "Remote: " + result.Error + "; the broker connection stays off");
        m_session.SetStatusLine("Remote: offline (" + result.Error + ")");
        LetGoOfLog();
        return false;
    }
    if (result.State != RemoteConfigState::Enabled)
    {
        LetGoOfLog();
        return false;
    }
    return Start(result.Config);
}

void CRemoteBridge::ListenToLogEarly()
{
    if (m_logAttached || IsRunning())
        return;
    m_manager->AttachLogObserver(this);
    m_logAttached = true;
}

void CRemoteBridge::LetGoOfLog()
{
    if (!m_logAttached)
        return;
    if (CLog* log = m_manager->GetLog())
        log->Detach(this);
    m_logAttached = false;
    m_publisher.ForgetOfflineEvents();
}

bool CRemoteBridge::Start(const CRemoteConfig& config)
{
    if (IsRunning())
        return false;
    m_config = config;
    if (!m_session.Configure(config))
    {
        LetGoOfLog();
        return false;
    }
    m_publisher.SetConfig(config);
    m_intake.SetBase(config.BaseTopic() + "/");
    m_publisher.TakeSettingsSnapshot();
    m_manager->Attach(this);
    m_manager->AttachStatusObserver(this);
    if (!m_logAttached)
        m_manager->AttachLogObserver(this);
    m_logAttached = true;
    if (CAppSettings* settings = m_manager->GetSettings())
        settings->Attach(this);
    m_attached = true;
    m_session.Start();
    return true;
}

void CRemoteBridge::Stop()
{
    if (!IsRunning())
        return;
    m_session.Stop();   // "offline" first, through the stopping hook
    if (m_attached)
    {
        m_manager->Detach(this);
        if (CQuillmereDeviceStatus* status = m_manager->GetDeviceStatus())
            status->Detach(this);
        if (CLog* log = m_manager->GetLog())
            log->Detach(this);
        m_logAttached = false;
        if (CAppSettings* settings = m_manager->GetSettings())
            settings->Detach(this);
        m_attached = false;
    }
    m_session.SetStatusLine({});
}

void CRemoteBridge::ShowStatusLine()
{
    // Never with a lock held: the manager's observers include this bridge.
    m_manager->SetRemoteLine(GetStatusLine());
}

// --- the bridge thread -----------------------------------------------------------------

void CRemoteBridge::Connected()
{
    // What an earlier run announced comes back retained; entities it no longer has go.
    if (m_config.Discovery)
        m_session.Subscribe(DiscoveryFilter(m_config));
    if (m_config.Commands)
    {
        // With the retain flag as published, a retained command is known for one whenever it
        // comes, not only when the broker replays it at a subscription.
        m_intake.NewConnection();
        const std::string base = m_config.BaseTopic();
        for (const std::string& filter : {base + "/relay/+/set", base + "/reset", base + "/poll"})
            m_session.Subscribe(filter, true);
    }
    m_publisher.Connected();
}

void CRemoteBridge::Message(const std::string& topic, std::string_view payload, bool retained)
{
    bool discovery = false;
    if (m_config.Discovery &&
        mosquitto_topic_matches_sub(DiscoveryFilter(m_config).c_str(), topic.c_str(), &discovery) ==
            MOSQ_ERR_SUCCESS &&
        discovery)
    {
        // Only what the broker kept from before counts; the bridge's own news comes back live.
        if (retained && !payload.empty())
            m_publisher.OldDiscoverySeen(topic);
        return;
    }
    m_intake.Take(topic, payload, retained);
}
