#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "daemon/DaemonOptions.h"
#include "daemon/ServiceNotifier.h"
#include "link/QMNetLink.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TempDataFolder.h"

using Clock = std::chrono::steady_clock;

TEST(ServiceWatchdog, PingsStopWhileTheLinkWorkerIsWedgedAndOnlyThen)
{
    // A port that is never there: the worker goes round its cycle, reporting the failed open
    // once, through the trace callback that the test holds up.
    TempDataFolder folder;
    CQMNetLink link;
    link.SetPort(99, 115200);
    link.SetTiming(1, 10, 20);
    link.SetTraceLevel(3);
    std::mutex mutex;
    std::condition_variable changed;
    bool wedge = false;
    bool inside = false;
    link.SetTraceCallback([&](const char*) {
        std::unique_lock<std::mutex> lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !wedge; });
        inside = false;
    });
    const auto quiet = link.LongestQuietPeriod();
    EXPECT_EQ(quiet, std::chrono::milliseconds(10 + 2 * 20));
    // Not started: nothing to wait for, nothing wedged.
    EXPECT_TRUE(CServiceNotifier::LinkIsMoving(link.IsRunning(), link.GetLastProgress(), quiet, Clock::now()));

    {
        std::lock_guard<std::mutex> lock(mutex);
        wedge = true;
    }
    ASSERT_TRUE(link.Start());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
    }
    const auto stuckSince = link.GetLastProgress();
    std::this_thread::sleep_for(quiet * 3);
    EXPECT_EQ(link.GetLastProgress(), stuckSince) << "a wedged worker must not look busy";
    const auto deadline = stuckSince + quiet + CServiceNotifier::kLinkMargin;
    EXPECT_TRUE(CServiceNotifier::LinkIsMoving(true, stuckSince, quiet, deadline));
    EXPECT_FALSE(CServiceNotifier::LinkIsMoving(true, stuckSince, quiet, deadline + std::chrono::milliseconds(1)));

    // Let go, it moves again: its progress keeps coming while it retries the port.
    {
        std::lock_guard<std::mutex> lock(mutex);
        wedge = false;
    }
    changed.notify_all();
    EXPECT_TRUE(WaitFor([&] { return link.GetLastProgress() > stuckSince + quiet; }, 10000));
    link.RequestStop();
    link.WaitForStop();
}

TEST(ServiceOptions, ParsesWhatItKnowsAndRefusesTheRest)
{
    using Action = CDaemonOptions::Action;
    struct Case
    {
        std::vector<std::string> arguments;
        Action what;
        std::string dataDir;
        std::string message;
    };
    const Case cases[] = {
        {{}, Action::Run, "", ""},
        {{"--check", "--data-dir", "/srv/q"}, Action::Check, "/srv/q", ""},
        {{"--data-dir=/srv/q"}, Action::Run, "/srv/q", ""},
        {{"--check", "--help"}, Action::Help, "", ""},
        {{"--version"}, Action::Version, "", ""},
        {{"--write-settings", "--data-dir", "/srv/q"}, Action::WriteSettings, "/srv/q", ""},
        {{"--check", "--write-settings"}, Action::Error, "", "--check and --write-settings do not go together"},
        {{"--data-dir"}, Action::Error, "", "--data-dir needs a folder"},
        {{"--data-dir="}, Action::Error, "", "--data-dir needs a folder"},
        {{"-v"}, Action::Error, "", "unknown option '-v'"},
        {{"/srv/q"}, Action::Error, "", "unknown option '/srv/q'"},
    };
    for (const Case& c : cases)
    {
        const CDaemonOptions options = CDaemonOptions::Parse(c.arguments);
        EXPECT_EQ(options.What, c.what) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(options.DataDir, c.dataDir);
        EXPECT_EQ(options.Message, c.message);
    }
}

TEST(ServiceOptions, TheFolderIsTheOptionElseTheServiceManagersElseTheWindowProgramsOwn)
{
    ::setenv("STATE_DIRECTORY", "/var/lib/quillmere-monitord:/var/lib/other", 1);
    EXPECT_EQ(ChooseDataFolder("/srv/q/"), "/srv/q/");
    EXPECT_EQ(ChooseDataFolder("relative/q"), (std::filesystem::current_path() / "relative/q").string());
    EXPECT_EQ(ChooseDataFolder(""), "/var/lib/quillmere-monitord");
    ::unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(ChooseDataFolder(""), "");
}
