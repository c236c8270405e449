#include "MonitorDaemon.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "config/AppSettings.h"
#include "control/ControlProtocol.h"
#include "control/ControlServer.h"
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
bool SameRemoteConfig(const CRemoteConfigResult& a, const CRemoteConfigResult& b)
{
    return a.State == b.State && a.Config == b.Config && a.Error == b.Error;
}

// A line the service says on standard error itself, before or instead of its log: with the
// journal there, it carries its priority like the log's own lines.
void SayError(const std::string& text)
{
    const std::string line = IsJournalStream(STDERR_FILENO)
                                 ? JournalLine(LogEntryLevel::Error, text)
                                 : std::string(program_invocation_short_name) + ": " + text + "\n";
    std::fputs(line.c_str(), stderr);
}
}

// What an operator asks first in systemctl status: whether and when the unit last answered
// (the engine's reachability decides it) and what last went wrong. The error is noted on
// the link worker and read on the loop.
//
// STATUS= follows what it shows, never a timer: an answer, a failure, the unit starting or
// stopping to answer, a new broker line each ask the loop (once, however many come at once)
// to send the text again, which goes out only when it reads differently.
class CMonitorDaemon::CStatusWatch final : public CObserver
{
public:
    CStatusWatch(CQuillmereManager& manager, std::function<void()> refresh)
        : m_manager(manager), m_refresh(std::move(refresh))
    {
    }

    void Update(CEventArgs* args) override
    {
        if (auto* response = dynamic_cast<CCommandResponse*>(args))
        {
            if (response->GetResult() != LinkStatus::Ok)
            {
                const std::string text =
                    NowText() + " " + m_manager.FailureText(response->GetType(), response->GetResult());
                std::lock_guard<std::mutex> guard(m_mutex);
                m_lastError = text;
            }
        }
        else if (dynamic_cast<CUnitReachabilityChangedEventArgs*>(args) == nullptr &&
                 dynamic_cast<CRemoteLineChangedEventArgs*>(args) == nullptr)
            return;
        if (!m_refreshPosted.exchange(true))
            m_refresh();
    }

    // On the loop, before the text is read again.
    void Refreshed() { m_refreshPosted = false; }

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
    std::function<void()> m_refresh;
    std::atomic<bool> m_refreshPosted{false};
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

std::string CMonitorDaemon::Reload()
{
    // As leaving the Settings page: the manager stops, the worker ends, and everything starts
    // again with what the file now says. The file is read once, after the stop; one that does
    // not parse changes nothing (the settings in use stay) and is said with its line.
    m_notifier.Reloading();
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
        why = "Settings not read again: " + CAppSettings::GetSettingsFilePath() + " " + why +
              "; the settings in use stay";
        m_log->Write(LogEntryLevel::Error, why);
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
    m_notifier.Ready(StatusText());
    return why;
}

int CMonitorDaemon::Run()
{
    CSingleInstanceLock instanceLock(CSingleInstanceLock::Scope::DataFolderOnly);
    if (!instanceLock.Acquire())
    {
        SayError(instanceLock.GetRefusedLock() + " is in use by " + instanceLock.GetHolder());
        return kExitFolderInUse;
    }

    CEngineTimerService timers;
    const sigset_t signals = ServiceSignals();
    m_signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (!timers.IsValid() || m_signalFd < 0)
    {
        SayError(std::string("cannot set up its loop: ") + std::strerror(errno));
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

    // quillmere-monitorctl's socket; its orders reach the manager on the loop, as the broker's do.
    CControlServer control(&manager, [&timers](CControlServer::Task task) { timers.Post(std::move(task)); });
    control.SetReloader([this] { return Reload(); });
    control.Start(ServiceControlSocketPath(), kControlGroup);

    m_statusWatch = std::make_unique<CStatusWatch>(manager, [this, &timers] {
        timers.Post([this] {
            m_statusWatch->Refreshed();
            m_notifier.Status(StatusText());
        });
    });
    manager.Attach(m_statusWatch.get());

    manager.Connect();
    manager.StartPolling();
    manager.StartMonitorTimers();
    m_notifier.Ready(StatusText());
    if (m_notifier.WatchdogPingInterval().count() > 0)
    {
        m_notifier.Watchdog();
        timers.SetTimer(static_cast<std::uint32_t>(m_notifier.WatchdogPingInterval().count()),
                        [this](ITimerService::TimerId) { PingWatchdog(); });
    }

    timers.Run();

    m_notifier.Stopping();
    control.Stop();
    manager.Stop();
    // Stop only asks; the worker and the ping checks use the manager, the log and the
    // settings until they have ended.
    manager.WaitForThreads();
    manager.Detach(m_statusWatch.get());
    // As the window program: a failed save is said before the last line, which the broker
    // still hears.
    settings.Save();
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
