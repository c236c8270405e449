#pragma once

#include <signal.h>

#include <memory>

#include "ServiceNotifier.h"
#include "core/Observer.h"
#include "device/RestartHost.h"

class CEngineRun;
class CEngineTimerService;

// The whole service between its start and its end: the engine's run (run/) with the engine's
// own timer service in place of the window loop, plus what only a service has: the folder's
// lock, signals from a signalfd, the service manager's messages and its watchdog. The thread
// that calls Run is the one the timers, the poll, the memory watchdog, settings changes and
// the broker's commands run on.
class CMonitorDaemon : public IRestartHost
{
public:
    // Exit statuses: a second program on the folder, files it will not run on, and a restart
    // the memory watchdog asked for under a service manager, which the unit restarts on
    // (RestartForceExitStatus=).
    static constexpr int kExitFolderInUse = 3;
    // settings.xml unreadable or missing, or mqtt.conf unreadable: the service does not guess,
    // and the unit does not start it again until someone acts (RestartPreventExitStatus=).
    static constexpr int kExitSettingsRefused = 78;
    static constexpr int kExitMemoryRestart = 75;

    // SIGTERM, SIGINT (the normal shutdown) and SIGHUP (read the files again): main blocks
    // them before any thread is made, and Run reads them from a signalfd.
    static sigset_t ServiceSignals();

    CMonitorDaemon();
    ~CMonitorDaemon() override;

    // Runs until SIGTERM or SIGINT (blocked by the caller before any thread was made, so they
    // are read here in order) or a restart request; the exit status for main.
    int Run();
    // The memory watchdog asked for a fresh process and no termination signal came meanwhile.
    bool IsRestartRequested() const { return m_restartRequested && !m_terminated; }

    void RequestRestart() override;

private:
    class CStatusWatch;

    void OnSignal();
    // Empty when the files were read again, else why the settings in use stay.
    std::string Reload();
    void PingWatchdog();
    std::string StatusText() const;

    CServiceNotifier m_notifier;
    int m_signalFd = -1;
    bool m_restartRequested = false;
    bool m_terminated = false;
    CEngineTimerService* m_timers = nullptr;
    CEngineRun* m_run = nullptr;
    std::unique_ptr<CStatusWatch> m_statusWatch;
};
