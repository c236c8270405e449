#include "MonitorDaemon.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "control/ControlProtocol.h"
#include "ConfigCheck.h"
#include "core/EngineTimerService.h"
#include "core/SingleInstanceLock.h"
#include "link/QMNetSerialPort.h"
#include "log/JournalStream.h"
#include "log/NowText.h"
#include "protocol/CommandResponse.h"
#include "run/EngineRun.h"

namespace
{
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
    if (m_run != nullptr)
    {
        const int port = m_run->Link().GetPortNumber();
        const std::string device = CQMNetSerialPort::DevicePathFor(port);
        text = "COM" + std::to_string(port) + " (" + (device.empty() ? std::string("no such port") : device) + ")";
    }
    if (m_statusWatch)
        text += "; " + m_statusWatch->Text();
    const std::string remote = m_run != nullptr ? m_run->Remote().GetStatusLine() : std::string();
    text += "; " + (remote.empty() ? std::string("Remote: no broker") : remote);
    return text;
}

void CMonitorDaemon::PingWatchdog()
{
    if (m_run == nullptr)
        return;
    const CQMNetLink& link = m_run->Link();
    if (CServiceNotifier::LinkIsMoving(link.IsRunning(), link.GetLastProgress(), link.LongestQuietPeriod(),
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
    // The service manager shows "reloading" until READY=1 comes back with the new status.
    m_notifier.Reloading();
    std::string why = m_run->Reload();
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

    const bool journal = IsJournalStream(STDERR_FILENO);
    CEngineRun run({.Timers = &timers,
                    // Commands from the broker reach the manager on the loop, like a click in the window.
                    .Post = [&timers](CRemoteBridge::Task task) { timers.Post(std::move(task)); },
                    .RestartHost = this,
                    .JournalFd = journal ? STDERR_FILENO : -1,
                    .ControlSocketPath = ServiceControlSocketPath(),
                    .ControlGroup = kControlGroup});
    m_run = &run;
    if (const std::string refusal = ServiceRefusal(run.GetSettingsReading(), run.GetRemoteConfig()); !refusal.empty())
    {
        // Nothing started, nothing written: the operator's files stay as they are.
        run.Refuse(refusal);
        if (!journal)
            std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, refusal.c_str());
        m_notifier.Status(refusal);
        m_run = nullptr;
        m_timers = nullptr;
        return kExitSettingsRefused;
    }
    // quillmere-monitorctl's `reload` does what SIGHUP does.
    run.Control().SetReloader([this] { return Reload(); });
    run.Begin();

    m_statusWatch = std::make_unique<CStatusWatch>(run.Manager(), [this, &timers] {
        timers.Post([this] {
            m_statusWatch->Refreshed();
            m_notifier.Status(StatusText());
        });
    });
    run.Manager().Attach(m_statusWatch.get());

    run.StartEngine();
    m_notifier.Ready(StatusText());
    if (m_notifier.WatchdogPingInterval().count() > 0)
    {
        m_notifier.Watchdog();
        timers.SetTimer(static_cast<std::uint32_t>(m_notifier.WatchdogPingInterval().count()),
                        [this](ITimerService::TimerId) { PingWatchdog(); });
    }

    timers.Run();

    m_notifier.Stopping();
    run.End();
    run.Manager().Detach(m_statusWatch.get());
    m_run = nullptr;
    m_timers = nullptr;
    return 0;
}
