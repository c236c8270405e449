#include "MonitorDaemon.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "core/EngineTimerService.h"
#include "core/SingleInstanceLock.h"
#include "device/QuillmereManager.h"
#include "link/QMNetLink.h"
#include "link/QMNetSerialPort.h"
#include "log/JournalStream.h"
#include "log/Log.h"
#include "log/NowText.h"
#include "protocol/CommandResponse.h"
#include "remote/RemoteBridge.h"
#include "remote/RemoteConfig.h"

namespace
{
// How often STATUS= is brought up to date; only with a service manager to tell.
constexpr std::uint32_t kStatusRefreshMs = 2000;

bool SameRemoteConfig(const CRemoteConfigResult& a, const CRemoteConfigResult& b)
{
    return a.State == b.State && a.Config == b.Config && a.Error == b.Error;
}
}

// What an operator asks first in systemctl status: whether and when the unit last answered
// (the engine's reachability decides it) and what last went wrong. The error is noted on
// the link worker and read on the loop.
class CMonitorDaemon::CStatusWatch final : public CObserver
{
public:
    explicit CStatusWatch(CQuillmereManager& manager) : m_manager(manager) {}

    void Update(CEventArgs* args) override
    {
        auto* response = dynamic_cast<CCommandResponse*>(args);
        if (response == nullptr || response->GetResult() == LinkStatus::Ok)
            return;
        const std::string text = NowText() + " " + m_manager.FailureText(response->GetType(), response->GetResult());
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lastError = text;
    }

    std::string Text() const
    {
        const CUnitReachability& reachability = m_manager.GetReachability();
        std::string text = reachability.IsUnreachable() ? "unit not answering" : "unit answering";
        if (reachability.GetState() == CUnitReachability::State::Unknown)
            text = "unit not asked yet";
        const std::time_t answered = reachability.GetLastAnswerTime();
        text += "; last answer " + (answered != 0 ? DateTimeTextAt(answered) : std::string("none yet"));
        std::lock_guard<std::mutex> guard(m_mutex);
        return text + "; last error " + (m_lastError.empty() ? std::string("none") : m_lastError);
    }

private:
    CQuillmereManager& m_manager;
    mutable std::mutex m_mutex;
    std::string m_lastError;
};

sigset_t CMonitorDaemon::ServiceSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, number);
    return set;
}

CMonitorDaemon::CMonitorDaemon() = default;

CMonitorDaemon::~CMonitorDaemon()
{
    if (m_signalFd >= 0)
        ::close(m_signalFd);
}

void CMonitorDaemon::RequestRestart()
{
    m_restartRequested = true;
    if (m_timers != nullptr)
        m_timers->Quit();
}

std::string CMonitorDaemon::StatusText() const
{
    std::string text;
    if (m_link != nullptr)
    {
        const int port = m_link->GetPortNumber();
        const std::string device = CQMNetSerialPort::DevicePathFor(port);
        text = "COM" + std::to_string(port) + " (" + (device.empty() ? std::string("no such port") : device) + ")";
    }
    if (m_statusWatch)
        text += "; " + m_statusWatch->Text();
    const std::string remote = m_remote != nullptr ? m_remote->GetStatusLine() : std::string();
    text += "; " + (remote.empty() ? std::string("Remote: no broker") : remote);
    return text;
}

void CMonitorDaemon::PingWatchdog()
{
    if (m_link == nullptr)
        return;
    if (CServiceNotifier::LinkIsMoving(m_link->IsRunning(), m_link->GetLastProgress(), m_link->LongestQuietPeriod(),
                                       std::chrono::steady_clock::now()))
        m_notifier.Watchdog();
}

void CMonitorDaemon::OnSignal()
{
    signalfd_siginfo info{};
    while (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    {
        if (info.ssi_signo == SIGHUP)
        {
            Reload();
            continue;
        }
        m_terminated = true;
        m_timers->Quit();
    }
}

void CMonitorDaemon::Reload()
{
    // As leaving the Settings page: the manager stops, the worker ends, and everything starts
    // again with what the file now says. The file is read once, after the stop; one that does
    // not parse changes nothing (the settings in use stay) and is said with its line.
    m_manager->Stop();
    m_manager->WaitForThreads();
    std::string why;
    if (m_settings->Load(&why))
    {
        // One record for the whole file: the manager logs the settings as one Event line and
        // the broker bridge takes the new relay names.
        m_settings->NotifySettingsChanged();
    }
    else if (!why.empty())
    {
        m_log->Write(LogEntryLevel::Error, "Settings not read again: " + CAppSettings::GetSettingsFilePath() + " " +
                                                why + "; the settings in use stay");
    }
    m_manager->Connect();
    m_manager->StartPolling();
    m_manager->StartMonitorTimers();

    // The broker connection is left alone unless its file now says something else.
    CRemoteConfigResult remote = LoadRemoteConfig(GetDataFolder());
    if (m_remote != nullptr && !SameRemoteConfig(remote, m_remoteConfig))
    {
        m_remote->Stop();
        m_remote->Start();
    }
    m_remoteConfig = std::move(remote);
}

int CMonitorDaemon::Run()
{
    CSingleInstanceLock instanceLock(CSingleInstanceLock::Scope::DataFolderOnly);
    if (!instanceLock.Acquire())
    {
        std::fprintf(stderr, "%s: %s is in use by %s\n", program_invocation_short_name,
                     instanceLock.GetRefusedLock().c_str(), instanceLock.GetHolder().c_str());
        return kExitFolderInUse;
    }

    CEngineTimerService timers;
    const sigset_t signals = ServiceSignals();
    m_signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (!timers.IsValid() || m_signalFd < 0)
    {
        std::perror("quillmere-monitord: cannot set up its loop");
        return 1;
    }
    m_timers = &timers;
    timers.Watch(m_signalFd, [this] { OnSignal(); });

    CQuillmereManager manager;
    manager.SetTimerService(&timers);
    manager.SetRestartHost(this);
    CAppSettings settings;
    std::string why;
    const bool loaded = settings.Load(&why);
    manager.SetSettings(&settings);
    CQMNetLink link;
    manager.SetLinkEngine(&link);
    CLog log;
    if (IsJournalStream(STDERR_FILENO))
        log.MirrorToJournal(STDERR_FILENO);
    log.Open();
    manager.SetLog(&log);
    // Commands from the broker reach the manager on the loop, like a click in the window.
    CRemoteBridge remote(&manager, [&timers](CRemoteBridge::Task task) { timers.Post(std::move(task)); });
    // The broker's event topic gets the run's lines from the first one on, although mqtt.conf
    // is read after them.
    remote.ListenToLogEarly();
    log.Write(LogEntryLevel::Event, kStartedText);
    if (!loaded && !why.empty())
        log.Write(LogEntryLevel::Error, "Settings not read: " + CAppSettings::GetSettingsFilePath() + " " + why +
                                            "; the defaults run");
    m_manager = &manager;
    m_settings = &settings;
    m_link = &link;
    m_log = &log;
    m_remote = &remote;
    m_remoteConfig = LoadRemoteConfig(GetDataFolder());
    remote.Start();

    m_statusWatch = std::make_unique<CStatusWatch>(manager);
    manager.Attach(m_statusWatch.get());

    manager.Connect();
    manager.StartPolling();
    manager.StartMonitorTimers();
    m_notifier.Ready(StatusText());
    if (m_notifier.IsListening())
        timers.SetTimer(kStatusRefreshMs, [this](ITimerService::TimerId) { m_notifier.Status(StatusText()); });
    if (m_notifier.WatchdogPingInterval().count() > 0)
    {
        m_notifier.Watchdog();
        timers.SetTimer(static_cast<std::uint32_t>(m_notifier.WatchdogPingInterval().count()),
                        [this](ITimerService::TimerId) { PingWatchdog(); });
    }

    timers.Run();

    m_notifier.Stopping();
    manager.Stop();
    // Stop only asks; the worker and the ping checks use the manager, the log and the
    // settings until they have ended.
    manager.WaitForThreads();
    manager.Detach(m_statusWatch.get());
    // As the window program: a failed save is said before the last line, which the broker
    // still hears.
    settings.Save();
    remote.WriteHeldCounts();
    log.SumUpFloods();
    log.Write(LogEntryLevel::Event, kTerminatedText);
    remote.Stop();
    m_remote = nullptr;
    m_log = nullptr;
    m_link = nullptr;
    m_settings = nullptr;
    m_manager = nullptr;
    m_timers = nullptr;
    return 0;
}
