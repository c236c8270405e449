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
#include "core/Clock.h"
#include "tests/log/LogTestSupport.h"
#include "tests/support/SmallDisk.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using namespace std::chrono_literals;


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
    // Moved by hand, so the once-a-second retry is exact; made first, the log reads it to its end.
    CManualClock clock;
    CLog log;
    log.SetClock(clock);
    LineCollector collector;
    log.Attach(&collector);

    ::testing::internal::CaptureStderr();
    const auto started = std::chrono::steady_clock::now();
    log.Open();
    for (int i = 0; i < 100; ++i)   // far more than a pipe holds
        log.Write(LogEntryLevel::Debug, std::string(1000, 'd'));
    clock.Advance(1s);
    log.Write(LogEntryLevel::Event, "one");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "a write must never wait for the pipe";
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(collector.Lines().size(), 101u);   // the page still shows them
    // One line on standard error, not one per retry.
    EXPECT_NE(said.find("not a regular file"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;

    std::filesystem::remove(LogFilePath());
    clock.Advance(500ms);
    log.Write(LogEntryLevel::Event, "two");   // within the second: not tried yet
    EXPECT_FALSE(std::filesystem::exists(LogFilePath()));
    clock.Advance(500ms);
    log.Write(LogEntryLevel::Event, "three");
    EXPECT_TRUE(log.IsOpen());
    const auto lines = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(LostNote(102))) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(",Event,three")) << lines[1];
}

class LogFullDisk : public ::testing::TestWithParam<bool>
{
};

// false: the disk is full before the log exists; true: the log's last page has room for part
// of a line only.
TEST_P(LogFullDisk, NoLineIsTornAndTheLogResumesWithTheCountOfLostLinesOnceThereIsRoom)
{
    TempDataFolder temp;
    const bool passed = InSmallDisk([] {
        std::string earlier;
        if (GetParam())
        {
            earlier = " ";
            while (earlier.size() < 4096 - 60)
                earlier += "01/01/26 10:00:00,Event,earlier line\r\n";
            earlier.resize(4096 - 25);
            earlier += "\r\n";
            WriteWholeFile(LogFilePath(), earlier);
        }
        const std::string filler = GetDataFolder() + "/filler";
        FillUp(filler);

        // Moved by hand, so the once-a-second retry is exact; made first, the log reads it to its end.
        CManualClock clock;
        CLog log;
        log.SetClock(clock);
        ::testing::internal::CaptureStderr();
        log.Open();
        // A new file cannot even take its leading blank.
        EXPECT_EQ(log.IsOpen(), GetParam());
        log.Write(LogEntryLevel::Event, "Application Started, in a line too long for what is left");
        log.Write(LogEntryLevel::Event, "lost while waiting");
        EXPECT_EQ(ReadWholeFile(LogFilePath()), earlier);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("No space left on device"), std::string::npos);

        std::filesystem::remove(filler);
        clock.Advance(1s);
        log.Write(LogEntryLevel::Event, "back");
        const std::string start = GetParam() ? earlier : " ";
        const std::string now = ReadWholeFile(LogFilePath());
        ASSERT_EQ(now.compare(0, start.size(), start), 0) << now;
        const auto added = StoredLines(" " + now.substr(start.size()));
        ASSERT_EQ(added.size(), 2u) << now.substr(start.size());
        EXPECT_TRUE(added[0].ends_with(LostNote(2))) << added[0];
        EXPECT_TRUE(added[1].ends_with(",Event,back")) << added[1];
    });
    EXPECT_TRUE(passed);
}

INSTANTIATE_TEST_SUITE_P(Log, LogFullDisk, ::testing::Bool());
