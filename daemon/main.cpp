#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "ConfigCheck.h"
#include "DaemonOptions.h"
#include "MonitorDaemon.h"
#include "ServiceNotifier.h"
#include "core/DataFolder.h"
#include "log/JournalStream.h"
#include "log/Log.h"

namespace
{
constexpr int kExitUsage = 2;
}

int main(int argc, char** argv)
{
    // First of all, before any thread is made and inherits the mask: the service's signals
    // wait for its loop to read them, so none ends it unsaved. One that arrived while an
    // older copy replaced itself with this one is still pending and is read as soon as the
    // loop runs.
    const sigset_t signals = CMonitorDaemon::ServiceSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A journal or broker that went away is a failed write, not the end of the service.
    ::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_ALL, "");

    const CDaemonOptions options = CDaemonOptions::Parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.What)
    {
    case CDaemonOptions::Action::Help:
        std::cout << CDaemonOptions::HelpText();
        return 0;
    case CDaemonOptions::Action::Version:
        std::cout << CDaemonOptions::kProgram << " " << QM_VERSION << "\n";
        return 0;
    case CDaemonOptions::Action::Error:
        // Under the service manager (a wrong ExecStart=) the journal takes it as an error.
        std::cerr << (IsJournalStream(STDERR_FILENO) ? "<3>" : "") << CDaemonOptions::kProgram << ": "
                  << options.Message << "\n"
                  << CDaemonOptions::kUsage << "\n";
        return kExitUsage;
    default:
        break;
    }
    SetDataFolder(ChooseDataFolder(options.DataDir));
    if (options.What == CDaemonOptions::Action::Check)
        return CheckConfiguration(std::cout, std::cerr);
    if (options.What == CDaemonOptions::Action::WriteSettings)
        return WriteDefaultSettings(std::cout, std::cerr);

    int status = 0;
    bool restart = false;
    {
        CMonitorDaemon daemon;
        status = daemon.Run();
        restart = daemon.IsRestartRequested();
    }
    if (!restart)
        return status;
    // The normal shutdown has run. A service manager starts a fresh copy on this status;
    // without one, this process becomes that copy, as the window program does.
    if (CServiceNotifier::IsUnderServiceManager())
        return CMonitorDaemon::kExitMemoryRestart;
    ::execv("/proc/self/exe", argv);
    const std::string why = std::string("restart failed: ") + std::strerror(errno);
    std::cerr << (IsJournalStream(STDERR_FILENO) ? JournalLine(LogEntryLevel::Error, why)
                                                 : std::string(CDaemonOptions::kProgram) + ": " + why + "\n");
    return 1;
}
