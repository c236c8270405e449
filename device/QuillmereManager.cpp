#include "QuillmereManager.h"

#include <algorithm>
#include <cstdio>

#include "config/AppSettings.h"
#include "config/LogLevelValue.h"
#include "core/EventArgs.h"
#include "link/QMNetLink.h"
#include "link/QMNetSerialPort.h"
#include "log/Log.h"
#include "netmon/MonitorRunner.h"
#include "netmon/NetworkMonitor.h"
#include "protocol/CommandCodes.h"
#include "FailureText.h"
#include "QuillmereDeviceStatus.h"
#include "protocol/StatusCodes.h"
#include "protocol/XModemCommand.h"

namespace
{
constexpr std::uint32_t kMsPerMinute = 60000;

std::string Format(const char* format, auto... args)
{
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}
}

CQuillmereManager::CQuillmereManager()
    : m_status(std::make_unique<CQuillmereDeviceStatus>()),
      m_monitorRunner(std::make_unique<CMonitorRunner>())
{
}

CQuillmereManager::~CQuillmereManager()
{
    m_monitorRunner.reset();   // waits for checks still under way
}

std::uint32_t CQuillmereManager::TimerPeriodMs(std::int32_t minutes)
{
    return static_cast<std::uint32_t>(std::clamp(minutes, MinIntervalMinutes, MaxIntervalMinutes)) * kMsPerMinute;
}

void CQuillmereManager::SetSettings(CAppSettings* settings)
{
    m_settings = settings;
    m_memoryWatchdog.SetSettings(settings);
    if (m_settings != nullptr)
        m_settings->Attach(this);
}

void CQuillmereManager::SetLinkEngine(CQMNetLink* link)
{
    m_link = link;
    if (m_link == nullptr)
        return;
    m_link->SetTraceCallback([this](const char* text) { OnTrace(text); });
    m_link->SetResponseCallback(
        [this](LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload, std::size_t length) {
            OnResponse(status, code, command, payload, length);
        });
    m_link->SetThreadExitCallback([this] { OnLinkThreadEnded(); });
    m_link->SetProgressCallback([this](int done, int total) { OnProgress(done, total); });
    m_link->SetIdleCallback([this](bool orderWaits) { return OnLinkIdle(orderWaits); });
    m_link->SetReopenCallback([this] { OnPortReopened(); });
}

void CQuillmereManager::SetLog(CLog* log)
{
    m_log = log;
    m_memoryWatchdog.SetLog(log);
    // Debug lines only at the Debug level, as the link's trace does.
    m_monitorRunner->SetFailureTrace([this, log](const std::string& text) {
        if (log != nullptr && m_settings != nullptr && m_settings->GetLogLevel() == LogLevelDebug)
            log->Write(LogEntryLevel::Debug, text);
    });
}

void CQuillmereManager::SetTimerService(ITimerService* timers)
{
    m_timers = timers;
}

void CQuillmereManager::SetRestartHost(IRestartHost* host)
{
    m_memoryWatchdog.SetRestartHost(host);
}

void CQuillmereManager::SetMemoryReader(MemoryReader reader)
{
    m_memoryWatchdog.SetMemoryReader(std::move(reader));
}

void CQuillmereManager::SetRunTimeReader(RunTimeReader reader)
{
    m_memoryWatchdog.SetRunTimeReader(std::move(reader));
}

void CQuillmereManager::AttachStatusObserver(CObserver* observer)
{
    if (m_status)
        m_status->Attach(observer);
}

void CQuillmereManager::AttachLogObserver(CObserver* observer)
{
    if (m_log != nullptr)
        m_log->Attach(observer);
}

void CQuillmereManager::WriteLog(int level, const std::string& text)
{
    if (m_log != nullptr)
        m_log->Write(level, text);
}

void CQuillmereManager::ConfigureLink()
{
    if (m_link == nullptr || m_settings == nullptr)
        return;
    m_link->SetPort(m_settings->GetComPort(), static_cast<unsigned>(m_settings->GetBaudRate()));
    m_link->SetTiming(m_linkTiming.RetryCount, m_linkTiming.PollSleepMs, m_linkTiming.ReadTimeoutMs);
    m_link->SetOrderLifetime(std::chrono::milliseconds(m_linkTiming.OrderLifetimeMs));
    m_link->SetIdleListen(std::chrono::milliseconds(m_linkTiming.IdleListenMs));
    m_link->SetClock(*m_clock);
    m_link->SetTraceLevel(m_settings->GetLogLevel() == LogLevelEventsAndErrors ? 1 : 3);
}

void CQuillmereManager::Queue(std::uint8_t code, std::uint8_t param1, std::uint8_t param2, std::string name)
{
    auto command = std::make_unique<CSerialCommand>();
    command->Code = code;
    command->Param1 = param1;
    command->Param2 = param2;
    command->Name = std::move(name);
    QueueCommand(std::move(command));
}

void CQuillmereManager::QueueCommand(std::unique_ptr<CSerialCommand> command)
{
    if (m_link == nullptr)
        return;
    const std::unique_ptr<CSerialCommand> replaced = m_link->QueueCommand(std::move(command));
    if (!replaced)
        return;
    // A repeated question needs no word; a relay or reset order that never went out does. Only
    // the number names the relay: this runs on ping and worker threads too, where the
    // settings (and so the relay's name) are not ours to read.
    switch (replaced->Code)
    {
    case CommandCode::RelayToggle:
        WriteLog(LogEntryLevel::Event, Format("Relay %d", replaced->Param1) +
                                           (replaced->Param2 == 0 ? " switch on" : " switch off") +
                                           " not sent: a newer request for this relay replaced it");
        break;
    case CommandCode::RelayTestCycle:
        WriteLog(LogEntryLevel::Event, Format("Relay %d", replaced->Param1) +
                                           " power cycle not sent twice: it was still waiting to be sent");
        break;
    case CommandCode::Reset:
        WriteLog(LogEntryLevel::Event, "Device reset not sent twice: it was still waiting to be sent");
        break;
    default:
        break;
    }
}

void CQuillmereManager::Connect()
{
    KillConnectRetry();
    // The worker of the last run reads its configuration until it ends; the window must not
    // wait for that, so the start follows once it has.
    if (m_link != nullptr && m_timers != nullptr && m_link->IsEnding())
    {
        m_connectTimer = m_timers->SetTimer(kConnectRetryMs, [this](ITimerService::TimerId) { Connect(); });
        return;
    }
    if (m_link != nullptr)
        m_link->JoinEndingWorker();
    ConfigureLink();
    EnableTamperUnsolicited();
    EnableUnsolicitedResponses();
    // A unit that was not answering may be back, or another port chosen: ask it at once
    // rather than where the back-off had got to.
    if (m_reachability.IsUnreachable())
        m_probe.Reopened(m_clock->Now());
    if (m_link != nullptr)
        m_link->Start();
}

void CQuillmereManager::StartPolling()
{
    if (m_stopping || m_settings == nullptr)
        return;
    Poll();
    if (m_timers == nullptr || m_pollTimer != 0)
        return;
    const std::uint32_t period = TimerPeriodMs(m_settings->GetStatusPollIntervalInMinutes());
    m_pollTimer = m_timers->SetTimer(period, [this](ITimerService::TimerId) { Poll(); });
}

void CQuillmereManager::StartMonitorTimers()
{
    if (m_stopping || m_settings == nullptr || m_timers == nullptr)
        return;
    for (const std::shared_ptr<CNetworkMonitor>& monitor : m_settings->GetNetworkMonitors())
    {
        // A hand-edited target that is no check at all stays off rather than failing its
        // way to a power cycle.
        const std::string refusal = TargetRefusal(*monitor);
        if (!refusal.empty())
        {
            WriteLog(LogEntryLevel::Error, refusal);
            continue;
        }
        const std::uint32_t period = TimerPeriodMs(monitor->GetPollIntervalInMinutes());
        const ITimerService::TimerId id =
            m_timers->SetTimer(period, [this](ITimerService::TimerId tick) { OnMonitorTimer(tick); });
        if (id != 0)
            m_monitorTimers[id] = monitor;
    }
}

void CQuillmereManager::OnMonitorTimer(ITimerService::TimerId id)
{
    const auto it = m_monitorTimers.find(id);
    if (it == m_monitorTimers.end())
        return;
    if (std::shared_ptr<CNetworkMonitor> monitor = it->second.lock())
        m_monitorRunner->Start(std::move(monitor));
}

void CQuillmereManager::Stop()
{
    m_stopping = true;
    if (m_link != nullptr)
        m_link->RequestStop();
    KillPollTimer();
    KillConnectRetry();
    if (m_timers != nullptr)
    {
        for (const auto& [id, monitor] : m_monitorTimers)
            m_timers->KillTimer(id);
    }
    m_monitorTimers.clear();
    m_stopping = false;
}

void CQuillmereManager::WaitForThreads()
{
    if (m_link != nullptr)
        m_link->WaitForStop();
    // Shutdown does not wait out a resolver that never answers or a host that is down. What it
    // cut short is said at the Debug level, as a check's failure is: it explains the missing
    // verdict.
    const std::size_t abandoned = m_monitorRunner->GetRunningCount();
    m_monitorRunner->AbandonChecks();
    if (abandoned > 0 && m_settings != nullptr && m_settings->GetLogLevel() == LogLevelDebug)
        WriteLog(LogEntryLevel::Debug, Format("Network monitor checks abandoned by the stop: %zu", abandoned));
    m_monitorRunner->WaitForAll();
}

bool CQuillmereManager::IsLinkRunning() const
{
    return m_link != nullptr && m_link->IsRunning();
}

bool CQuillmereManager::IsIdle() const
{
    return !IsLinkRunning() && m_monitorRunner->GetRunningCount() == 0;
}

void CQuillmereManager::KillPollTimer()
{
    if (m_pollTimer != 0 && m_timers != nullptr && m_timers->KillTimer(m_pollTimer))
        m_pollTimer = 0;
}

void CQuillmereManager::Poll()
{
    CheckMemory();
    QueueStatusQuestions();
}

void CQuillmereManager::QueueStatusQuestions()
{
    Queue(CommandCode::TamperStatus);
    Queue(CommandCode::RadioCapability);
    Queue(CommandCode::Rssi);
    RequestRelayStatus();
    Queue(CommandCode::DateTime);
    Queue(CommandCode::Gps);
    Queue(CommandCode::GsmStatus);
    Queue(CommandCode::Uptime);
}

void CQuillmereManager::CheckMemory()
{
    m_memoryWatchdog.Check();
}

void CQuillmereManager::SetRelay(int relay, int state)
{
    Queue(CommandCode::RelayToggle, static_cast<std::uint8_t>(relay), static_cast<std::uint8_t>(state),
          Format("Relay %d", relay) + (state == 0 ? " switch on" : " switch off"));
}

void CQuillmereManager::PowerCycleRelay(int relay, std::function<void()> onNotSent, std::string name)
{
    if (m_settings != nullptr)
    {
        for (const std::shared_ptr<CNetworkMonitor>& monitor : m_settings->GetNetworkMonitors())
        {
            if (monitor->GetRelayIndex() == relay)
                monitor->NotePowerCycle();
        }
    }
    auto command = std::make_unique<CSerialCommand>();
    command->Code = CommandCode::RelayTestCycle;
    command->Param1 = static_cast<std::uint8_t>(relay);
    command->OnNotSent = std::move(onNotSent);
    command->Name = name.empty() ? Format("Relay %d power cycle", relay) : std::move(name);
    QueueCommand(std::move(command));
}

void CQuillmereManager::RequestRelayStatus()
{
    Queue(CommandCode::RelayStatus);
}

void CQuillmereManager::EnableUnsolicitedResponses()
{
    Queue(CommandCode::UnsolicitedResponses, 1);
}

void CQuillmereManager::EnableTamperUnsolicited()
{
    Queue(CommandCode::TamperUnsolicited, 1);
}

void CQuillmereManager::ResetDevice()
{
    WriteLog(LogEntryLevel::Event, "Manual reset of the device was triggered.");
    // The follow-up starts from the reset's own outcome (OnResetOutcome), not from here: a
    // question queued while the reset waits would only go out after it anyway.
    Queue(CommandCode::Reset, CommandCode::ResetMagic, 0, "Device reset");
}

void CQuillmereManager::KillConnectRetry()
{
    if (m_connectTimer != 0 && m_timers != nullptr && m_timers->KillTimer(m_connectTimer))
        m_connectTimer = 0;
}

std::string CQuillmereManager::RelayLabel(int relay) const
{
    std::string label = Format("Relay %d", relay);
    if (const CRelaySetting* setting = m_settings != nullptr ? m_settings->FindRelaySetting(relay) : nullptr)
        label += " (" + setting->GetName() + ")";
    return label;
}

void CQuillmereManager::SetRelayBy(int relay, int state, const std::string& who)
{
    if (relay >= 1 && relay <= CRelayStates::kRelayCount)
        m_switchCause[static_cast<std::size_t>(relay)] =
            who == kByOperator ? RelayChangeCause::Operator : RelayChangeCause::RemoteOperator;
    const std::string label = RelayLabel(relay);
    WriteLog(LogEntryLevel::Event, label + (state == 0 ? " switched on by " : " switched off by ") + who);
    Queue(CommandCode::RelayToggle, static_cast<std::uint8_t>(relay), static_cast<std::uint8_t>(state),
          label + (state == 0 ? " switch on" : " switch off"));
}

void CQuillmereManager::PowerCycleRelayBy(int relay, const std::string& who)
{
    const std::string label = RelayLabel(relay);
    WriteLog(LogEntryLevel::Event, label + " power cycle requested by " + who);
    PowerCycleRelay(relay, {}, label + " power cycle");
}

void CQuillmereManager::ResetDeviceBy(const std::string& who)
{
    WriteLog(LogEntryLevel::Event, "Device reset requested by " + who);
    ResetDevice();
}

LinkStatus CQuillmereManager::UpdateFirmware(const std::string& path)
{
    auto command = std::make_unique<CXModemCommand>();
    command->Code = CommandCode::RequestUpgrade;
    // A cut path names another file: refuse it rather than send whatever that is.
    if (path.empty() || !command->SetFilePath(path))
    {
        LogFirmwareOutcome(CommandCode::RequestUpgrade, LinkStatus::FirmwareFileNotOpened);
        return LinkStatus::FirmwareFileNotOpened;
    }
    m_firmwareBytesSent = 0;
    command->Name = "Firmware update";
    QueueCommand(std::move(command));
    return LinkStatus::Ok;
}

void CQuillmereManager::LogFirmwareOutcome(int type, LinkStatus status)
{
    if (status == LinkStatus::Ok && type == CommandCode::FirmwareTransfer)
        WriteLog(LogEntryLevel::Event, Format("Firmware update finished: %d bytes sent", m_firmwareBytesSent.load()));
    else if (status != LinkStatus::Ok)
        WriteLog(LogEntryLevel::Event, "Firmware update failed: " + GetErrorText(status));
}

std::string CQuillmereManager::FailureText(int type, LinkStatus status) const
{
    const int port = m_link != nullptr ? m_link->GetPortNumber() : (m_settings != nullptr ? m_settings->GetComPort() : 0);
    return ::FailureText(type, status, port);
}

std::string CQuillmereManager::FailureLine(int type, LinkStatus status) const
{
    return "Error for " + FailureText(type, status);
}

std::string CQuillmereManager::MonitorFailureText(const std::string& target, int action, int relay, int limit,
                                                  int count)
{
    return ::MonitorFailureText(target, action, relay, limit, count);
}

LinkStatus CQuillmereManager::TestConnection()
{
    if (m_link == nullptr)
        return LinkStatus::OpenFailed;
    if (m_link->IsRunning())
        return LinkStatus::AlreadyConnected;
    ConfigureLink();
    CQMNetSerialPort port;
    m_link->ConfigurePort(&port);
    LinkStatus result = port.Open();
    if (result == LinkStatus::Ok)
        result = m_link->ProbeDevice(port);
    // Close after a failed open too: the port lets go of whatever it half opened.
    port.Close();
    return result;
}

void CQuillmereManager::Update(CEventArgs* args)
{
    if (auto* error = dynamic_cast<CNetworkMonitorErrorEventArgs*>(args))
    {
        HandleMonitorError(*error);
        Notify(error);
        return;
    }
    // The file keeps a target's password; the log gets it masked.
    WriteLog(LogEntryLevel::Event, m_settings != nullptr ? MaskCredentials(m_settings->GetSettingsXml()) : std::string());
}

void CQuillmereManager::SetRemoteLine(const std::string& line)
{
    {
        std::lock_guard<std::mutex> guard(m_remoteLineMutex);
        if (line == m_remoteLine)
            return;
        m_remoteLine = line;
    }
    CRemoteLineChangedEventArgs changed(line);
    Notify(&changed);
}

std::string CQuillmereManager::GetRemoteLine() const
{
    std::lock_guard<std::mutex> guard(m_remoteLineMutex);
    return m_remoteLine;
}

void CQuillmereManager::HandleMonitorError(const CNetworkMonitorErrorEventArgs& error)
{
    const CPowerCycleGate::Decision decision = m_cycleGate.Decide(error);
    if (decision.Cycle)
        PowerCycleRelay(error.RelayIndex, decision.OnNotSent);
    WriteLog(LogEntryLevel::Error, MonitorFailureText(error.Target, error.Action, error.RelayIndex,
                                                      error.AutoResetLimit, error.CurrentResetCount));
    for (const std::string& line : decision.Lines)
        WriteLog(LogEntryLevel::Event, line);
}
