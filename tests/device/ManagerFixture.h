#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/AppSettings.h"
#include "core/Clock.h"
#include "device/QuillmereManager.h"
#include "device/RestartHost.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "tests/support/ManualTimerService.h"
#include "tests/support/TempDataFolder.h"

// The long-lived objects of the program, wired as start-up wires them, in a temporary data
// folder with a hand-driven clock. The link engine is configured but not started.
class DevSimProcess;

// Polls condition every 10 ms until it holds or the time is up; its last answer.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
// The command code of every frame the unit received, in order ("02 0C 00 0C 03" gives 12).
std::vector<int> ReceivedCodes(const DevSimProcess& unit);

class ManagerFixture
{
public:
    struct RestartCounter : IRestartHost
    {
        void RequestRestart() override { ++requests; }
        int requests = 0;
    };

    ManagerFixture()
    {
        manager.SetSettings(&settings);
        manager.SetLinkEngine(&link);
        log.Open();
        manager.SetLog(&log);
        manager.SetTimerService(&timers);
        manager.SetRestartHost(&restart);
    }

    ~ManagerFixture()
    {
        manager.Stop();
        manager.WaitForThreads();
    }

    // The log's lines without the date and time: "Level,description".
    std::vector<std::string> LogLines() const;

    // Made first and gone last: the manager, its link and its log read it to their end.
    CManualClock clock;
    TempDataFolder folder;
    ManualTimerService timers;
    RestartCounter restart;
    CQuillmereManager manager;
    CAppSettings settings;
    CQMNetLink link;
    CLog log;
};
