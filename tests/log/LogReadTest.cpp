#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "log/Log.h"
#include "tests/log/LogTestSupport.h"
#include "tests/support/TempDataFolder.h"

TEST(LogRead, OfTwoHundredFiftyLinesTheNewestHundredComeNewestFirst)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    for (int i = 0; i < 250; ++i)
        log.Write(LogEntryLevel::Event, "line " + std::to_string(i));

    const auto raised = collector.Lines();
    ASSERT_EQ(raised.size(), 250u);
    const auto lines = log.ReadNewestLines(100);
    ASSERT_EQ(lines.size(), 100u);
    for (std::size_t row = 0; row < lines.size(); ++row)
        EXPECT_EQ(lines[row], WithoutBreak(raised[249 - row])) << "row " << row;
}

TEST(LogRead, ThreeLinesGiveThreeRowsAndTheOldestKeepsItsFirstCharacter)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    EXPECT_TRUE(log.ReadNewestLines(100).empty());   // just the blank

    log.Write(LogEntryLevel::Event, "Application Started");
    log.Write(LogEntryLevel::Error, "Error for Status command Time-out");
    log.Write(LogEntryLevel::Event, "Application terminated");

    const auto raised = collector.Lines();
    const auto lines = log.ReadNewestLines(100);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], WithoutBreak(raised[2]));
    EXPECT_EQ(lines[1], WithoutBreak(raised[1]));
    EXPECT_EQ(lines[2], WithoutBreak(raised[0]));
}

TEST(LogRead, FirstByteIsNeverReadEvenWhenItIsNotTheBlank)
{
    TempDataFolder temp;
    ASSERT_TRUE(CreateDirectoryTree(GetDataFolder()));
    WriteWholeFile(LogFilePath(), "12/08/25 10:42:00,Event,x\r\n");
    CLog log;
    log.Open();
    EXPECT_EQ(log.ReadNewestLines(100), std::vector<std::string>{"2/08/25 10:42:00,Event,x"});
}

TEST(LogRead, FullFileIsReadInBlocksNotByteByByte)
{
    TempDataFolder temp;
    ASSERT_TRUE(CreateDirectoryTree(GetDataFolder()));
    // 5 MiB with no line break at all: finding the one line means scanning every byte.
    std::string text = " " + std::string(CLog::kRotateAboveBytes - 1, 'q');
    text[1] = 'A';
    WriteWholeFile(LogFilePath(), text);
    CLog log;
    log.Open();

    const auto start = std::chrono::steady_clock::now();
    const auto lines = log.ReadNewestLines(100);
    const auto took = std::chrono::steady_clock::now() - start;

    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), CLog::kRotateAboveBytes - 1);
    EXPECT_EQ(lines[0].front(), 'A');
    // One system call per byte would take seconds; reading in blocks takes milliseconds
    // (the bound leaves room for sanitizer builds).
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST(LogRead, BusyLockGivesAnEmptyListAfterTheLimit)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    log.Write(LogEntryLevel::Event, "present");

    ASSERT_TRUE(log.Lock());
    std::vector<std::string> lines{"untouched"};
    std::chrono::steady_clock::duration waited{};
    std::thread reader([&] {
        const auto start = std::chrono::steady_clock::now();
        lines = log.ReadNewestLines(100);
        waited = std::chrono::steady_clock::now() - start;
    });
    reader.join();
    log.Unlock();

    EXPECT_TRUE(lines.empty());
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_EQ(log.ReadNewestLines(100).size(), 1u);
}
