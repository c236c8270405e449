#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ProgramProcess.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
constexpr int kComPort = 7;

std::string SettingsText(bool memoryCheck, int memoryLimit)
{
    return ProgramSettingsText(kComPort, 30, memoryCheck, memoryLimit);
}

bool HasFrameStartingWith(const std::vector<std::string>& frames, const std::string& start)
{
    return std::any_of(frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(start, 0) == 0; });
}

std::set<std::string> FolderListing(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.insert(entry.path().string());
    return names;
}
}

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_folder.DataFolder());
        WriteWholeFile(SettingsPath(), SettingsText(false, 26214400));
        m_sim = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--com", std::to_string(kComPort), "--data-folder", m_folder.DataFolder()}, 60);
        ASSERT_TRUE(m_sim->Started()) << m_sim->Error();
    }

    std::string SettingsPath() const { return m_folder.DataFolder() + "/settings.xml"; }
    std::string LogPath() const { return m_folder.DataFolder() + "/Quillmere.log"; }
    std::string OutputPath() const { return m_folder.Root() + "/program.out"; }

    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(ReadWholeFile(LogPath()));
        for (std::string line; std::getline(in, line);)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                lines.push_back(line);
        }
        return lines;
    }

    std::size_t CountLogLines(const std::string& text) const
    {
        const auto lines = LogLines();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }

    // Started, connected, and the first poll is on the wire.
    bool WaitUntilRunning(int timeoutMs = 15000)
    {
        return WaitFor(
            [&] {
                const auto frames = m_sim->ReceivedFrames();
                return HasFrameStartingWith(frames, "02 0D 01 01") && HasFrameStartingWith(frames, "02 02 01 01") &&
                       HasFrameStartingWith(frames, "02 04 00") && HasFrameStartingWith(frames, "02 0C 00");
            },
            timeoutMs);
    }

    std::string Diagnostics() const
    {
        return "program output:\n" + ReadWholeFile(OutputPath()) + "log:\n" + ReadWholeFile(LogPath());
    }

    TempDataFolder m_folder;
    std::unique_ptr<DevSimProcess> m_sim;
};

class ProgramEndsOnSignal : public ProgramTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(ProgramEndsOnSignal, ConnectsPollsLogsAndShutsDownNormally)
{
    const std::int64_t modifiedBefore = std::filesystem::last_write_time(SettingsPath()).time_since_epoch().count();
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    const auto first = LogLines();
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.front().find(",Event,Application Started"), std::string::npos) << first.front();

    ASSERT_TRUE(program.Signal(GetParam()));
    const int status = program.WaitForExit(15000);
    ASSERT_NE(status, -1) << "still running after the signal; " << Diagnostics();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(",Event,Application terminated"), std::string::npos) << lines.back();
    EXPECT_EQ(CountLogLines("Application terminated"), 1u);

    // Nothing in it changed: the operator's file keeps its bytes and its modification time.
    EXPECT_EQ(ReadWholeFile(SettingsPath()), SettingsText(false, 26214400));
    EXPECT_EQ(std::filesystem::last_write_time(SettingsPath()).time_since_epoch().count(), modifiedBefore);
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramEndsOnSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_F(ProgramTest, ASecondStartEndsAtOnceNamingTheFirstAndWritesNothing)
{
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    const std::string settingsBefore = ReadWholeFile(SettingsPath());
    const auto listingBefore = FolderListing(m_folder.DataFolder());

    const auto started = std::chrono::steady_clock::now();
    ProgramProcess second(m_folder.Root() + "/second.out");
    const int status = second.WaitForExit(5000);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_NE(status, -1) << "the second instance kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took, std::chrono::seconds(3));

    EXPECT_EQ(CountLogLines("Application Started"), 1u);
    EXPECT_EQ(CountLogLines("Application terminated"), 0u);
    EXPECT_EQ(ReadWholeFile(SettingsPath()), settingsBefore);
    EXPECT_EQ(FolderListing(m_folder.DataFolder()), listingBefore);
    EXPECT_TRUE(program.IsRunning());
    // One line, naming who has the folder.
    EXPECT_EQ(ReadWholeFile(m_folder.Root() + "/second.out"),
              "quillmere-monitor: the data folder " + m_folder.DataFolder() + " is in use by quillmere-monitor, pid " +
                  std::to_string(program.Pid()) + "\n");
}

TEST_F(ProgramTest, TheWindowProgramAnswersQuillmereMonitorctlWhileItRuns)
{
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    const char* binary = std::getenv("QM_BINARY_DIR");
    const std::string out = m_folder.Root() + "/ctl.out";
    // Named, so that a service installed on the test machine is never the one asked.
    auto client = [&](const std::string& arguments) {
        const int status = std::system(("'" + std::string(binary != nullptr ? binary : ".") +
                                        "/control/quillmere-monitorctl' --socket '" + m_folder.Root() +
                                        "/quillmere-monitor/control' " + arguments + " >'" + out + "' 2>&1")
                                           .c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(client("status"), 0) << ReadWholeFile(out);
    EXPECT_NE(ReadWholeFile(out).find("Port             COM7 ("), std::string::npos) << ReadWholeFile(out);
    // Its settings are the Settings page's to read again.
    EXPECT_EQ(client("reload"), 1);
    EXPECT_NE(ReadWholeFile(out).find("reads its settings from its Settings page"), std::string::npos);

    ASSERT_TRUE(program.Signal(SIGTERM));
    ASSERT_NE(program.WaitForExit(15000), -1);
    EXPECT_FALSE(std::filesystem::exists(m_folder.Root() + "/quillmere-monitor/control"));
    EXPECT_EQ(client("status"), 3) << ReadWholeFile(out);
}

TEST_F(ProgramTest, AKilledProgramLeavesTheSettingsFileAsItWas)
{
    const std::string before = ReadWholeFile(SettingsPath());
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    ASSERT_TRUE(program.Signal(SIGKILL));
    const int status = program.WaitForExit(5000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(ReadWholeFile(SettingsPath()), before);
    EXPECT_EQ(CountLogLines("Application terminated"), 0u);

    // The next start is not blocked by anything the killed one left behind.
    ProgramProcess next(OutputPath());
    EXPECT_TRUE(WaitFor([&] { return CountLogLines("Application Started") == 2; }, 10000)) << Diagnostics();
    next.Signal(SIGTERM);
    EXPECT_NE(next.WaitForExit(15000), -1);
}

TEST_F(ProgramTest, TheMemoryWatchdogRestartsTheProgramAfterANormalShutdownOnceItHasRunAMinute)
{
    // A limit the program always passes, polled every minute: the poll at the start is too early,
    // the next one restarts.
    std::string settings = SettingsText(true, 1000000);
    const std::string interval = "<StatusPollIntervalInMinutes>30";
    settings.replace(settings.find(interval), interval.size(), "<StatusPollIntervalInMinutes>1");
    WriteWholeFile(SettingsPath(), settings);
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    const auto started = std::chrono::steady_clock::now();
    // Qt's coarse timers may fire up to 5% early: a poll that comes just short of the minute
    // leaves the restart to the poll after it.
    const bool restarted = WaitFor([&] { return CountLogLines("Application Started") >= 2; }, 150000);
    const auto took = std::chrono::steady_clock::now() - started;
    // The restart replaces the process in place; the pid is still the program's.
    EXPECT_TRUE(program.IsRunning());
    ASSERT_TRUE(restarted) << Diagnostics();
    EXPECT_GE(took, std::chrono::seconds(50));
    ASSERT_TRUE(WaitUntilRunning()) << Diagnostics();
    // The new program has not run a minute yet: one signal ends it for good.
    ASSERT_TRUE(program.Signal(SIGTERM));
    const int status = program.WaitForExit(3000);
    ASSERT_NE(status, -1) << Diagnostics();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Each run ended normally before the next began, and the log says why it restarted.
    std::vector<std::string> sequence;
    for (const std::string& line : LogLines())
    {
        if (line.find("Application Started") != std::string::npos)
            sequence.push_back("start");
        else if (line.find(",Event,Restarting: private memory ") != std::string::npos)
            sequence.push_back("why");
        else if (line.find("Application terminated") != std::string::npos)
            sequence.push_back("end");
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"start", "why", "end", "start", "end"}));
    EXPECT_EQ(CountLogLines("is above the limit of 1.0 MB"), 1u);
    // Nothing the runs changed: the file is as it was given.
    EXPECT_EQ(ReadWholeFile(SettingsPath()), settings);
}
