#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "log/Log.h"
#include "tests/log/LogTestSupport.h"
#include "tests/support/SmallDisk.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using namespace std::chrono_literals;

// A clock the test moves by hand, so the once-a-second retry is exact.
struct HandClock
{
    CLog::Clock::time_point now{};
    void Use(CLog& log)
    {
        log.SetClock([this] { return now; });
    }
};

const char* kLostNote = ",Error,%d log lines were lost while the log file could not be written";

std::string LostNote(int count)
{
    char text[128];
    std::snprintf(text, sizeof text, kLostNote, count);
    return text;
}

// Runs body in a child with a private mount namespace and a 64 KiB tmpfs at the data folder;
// true when the child's checks all passed.
template <typename Body>
bool InSmallDisk(Body body)
{
    const pid_t child = fork();
    if (child == 0)
    {
        if (!EnterPrivateMountNamespace() || !CreateDirectoryTree(GetDataFolder()) ||
            !MountSmallDisk(GetDataFolder(), 64 * 1024))
            _exit(2);
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}

TEST(LogOutage, AFifoInPlaceOfTheFileIsRefusedAtOnceAndTheLogComesBackWhenItIsGone)
{
    TempDataFolder temp;
    ASSERT_TRUE(CreateDirectoryTree(GetDataFolder()));
    ASSERT_EQ(mkfifo(LogFilePath().c_str(), 0644), 0);
    CLog log;
    HandClock clock;
    clock.Use(log);
    LineCollector collector;
    log.Attach(&collector);

    ::testing::internal::CaptureStderr();
    const auto started = std::chrono::steady_clock::now();
    log.Open();
    for (int i = 0; i < 100; ++i)   // far more than a pipe holds
        log.Write(LogEntryLevel::Debug, std::string(1000, 'd'));
    clock.now += 1s;
    log.Write(LogEntryLevel::Event, "one");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(collector.Lines().size(), 101u);   // the page still shows them
    // One line on standard error, not one per retry.
    EXPECT_NE(said.find("not a regular file"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;

    std::filesystem::remove(LogFilePath());
    clock.now += 500ms;
    log.Write(LogEntryLevel::Event, "two");   // within the second: not tried yet
    EXPECT_FALSE(std::filesystem::exists(LogFilePath()));
    clock.now += 500ms;
    log.Write(LogEntryLevel::Event, "three");
    EXPECT_TRUE(log.IsOpen());
    const auto lines = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(LostNote(102))) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(",Event,three")) << lines[1];
}

TEST(LogOutage, AFullDiskNeitherTearsALineNorSilencesTheLogOnceThereIsRoomAgain)
{
    TempDataFolder temp;
    const bool passed = InSmallDisk([] {
        // Whole lines up to just short of a page end: the next line fits only in part.
        std::string content = " ";
        while (content.size() < 4096 - 60)
            content += "01/01/26 10:00:00,Event,earlier line\r\n";
        content.resize(4096 - 25);
        content += "\r\n";
        WriteWholeFile(LogFilePath(), content);
        const std::string filler = GetDataFolder() + "/filler";
        FillUp(filler);

        CLog log;
        HandClock clock;
        clock.Use(log);
        ::testing::internal::CaptureStderr();
        log.Open();
        EXPECT_TRUE(log.IsOpen());
        log.Write(LogEntryLevel::Event, "Device cover was opened by a very long line that cannot fit");
        log.Write(LogEntryLevel::Event, "lost while waiting");
        EXPECT_EQ(ReadWholeFile(LogFilePath()), content);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("No space left on device"), std::string::npos);

        std::filesystem::remove(filler);
        clock.now += 1s;
        log.Write(LogEntryLevel::Event, "back");
        const std::string now = ReadWholeFile(LogFilePath());
        ASSERT_EQ(now.compare(0, content.size(), content), 0);
        const auto added = StoredLines(" " + now.substr(content.size()));
        ASSERT_EQ(added.size(), 2u) << now.substr(content.size());
        EXPECT_TRUE(added[0].ends_with(LostNote(2))) << added[0];
        EXPECT_TRUE(added[1].ends_with(",Event,back")) << added[1];
    });
    EXPECT_TRUE(passed);
}

TEST(LogOutage, AFullDiskAtTheStartIsLoggedOnceThereIsRoom)
{
    TempDataFolder temp;
    const bool passed = InSmallDisk([] {
        const std::string filler = GetDataFolder() + "/filler";
        FillUp(filler);
        CLog log;
        HandClock clock;
        clock.Use(log);
        ::testing::internal::CaptureStderr();
        log.Open();
        ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(log.IsOpen());
        log.Write(LogEntryLevel::Event, "Application Started");

        std::filesystem::remove(filler);
        clock.now += 1s;
        log.Write(LogEntryLevel::Event, "Application terminated");
        const std::string text = ReadWholeFile(LogFilePath());
        EXPECT_EQ(text.front(), ' ');
        const auto lines = StoredLines(text);
        ASSERT_EQ(lines.size(), 2u) << text;
        EXPECT_TRUE(lines[0].ends_with(LostNote(1))) << lines[0];
        EXPECT_TRUE(lines[1].ends_with(",Event,Application terminated"));
    });
    EXPECT_TRUE(passed);
}
