#include <gtest/gtest.h>

#include <filesystem>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "log/Log.h"
#include "tests/log/LogTestSupport.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// A log file exactly at the rotation limit: the blank, then filler without line breaks.
std::string FileAtTheLimit()
{
    return " " + std::string(CLog::kRotateAboveBytes - 1, 'f');
}

void PrepareFile(const std::string& content)
{
    ASSERT_TRUE(CreateDirectoryTree(GetDataFolder()));
    WriteWholeFile(LogFilePath(), content);
}
}

TEST(LogRotation, FileAtTheLimitTakesOneMoreLineThenTheNextWriteRotatesFirst)
{
    TempDataFolder temp;
    PrepareFile(FileAtTheLimit());
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    ASSERT_TRUE(log.IsOpen());

    log.Write(LogEntryLevel::Event, "A");
    ASSERT_EQ(collector.Lines().size(), 1u);
    const std::string lineA = AsStored(collector.Lines()[0]);
    EXPECT_FALSE(std::filesystem::exists(BackupFilePath()));
    EXPECT_EQ(std::filesystem::file_size(LogFilePath()), CLog::kRotateAboveBytes + lineA.size());

    log.Write(LogEntryLevel::Event, "B");
    ASSERT_EQ(collector.Lines().size(), 2u);
    EXPECT_EQ(ReadWholeFile(BackupFilePath()), FileAtTheLimit() + lineA);
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " " + AsStored(collector.Lines()[1]));

    // The fresh file is as exclusive as the old one was.
    CLog other;
    other.Open();
    EXPECT_FALSE(other.IsOpen());
}

TEST(LogRotation, SecondRotationReplacesTheBackup)
{
    TempDataFolder temp;
    PrepareFile(FileAtTheLimit() + "x");
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();

    log.Write(LogEntryLevel::Event, "first after rotation");
    ASSERT_TRUE(std::filesystem::exists(BackupFilePath()));
    // One line long enough to take the new file past the limit on its own.
    log.Write(LogEntryLevel::Debug, std::string(CLog::kRotateAboveBytes, 'd'));
    log.Write(LogEntryLevel::Event, "second after rotation");

    const auto raised = collector.Lines();
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(ReadWholeFile(BackupFilePath()), " " + AsStored(raised[0]) + AsStored(raised[1]));
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " " + AsStored(raised[2]));
}

TEST(LogRotation, FailedRotationKeepsTheLogAcceptingLinesAndRetriesLater)
{
    TempDataFolder temp;
    PrepareFile(FileAtTheLimit() + "x");
    // A folder that is not empty under the backup's name cannot be replaced by a file.
    ASSERT_TRUE(CreateDirectoryTree(BackupFilePath()));
    WriteWholeFile(BackupFilePath() + "/keep", "k");

    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    log.Write(LogEntryLevel::Event, "A");
    log.Write(LogEntryLevel::Event, "B");

    auto raised = collector.Lines();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(ReadWholeFile(LogFilePath()), FileAtTheLimit() + "x" + AsStored(raised[0]) + AsStored(raised[1]));
    EXPECT_TRUE(DirectoryExists(BackupFilePath()));

    std::filesystem::remove_all(BackupFilePath());
    log.Write(LogEntryLevel::Event, "C");
    raised = collector.Lines();
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(ReadWholeFile(BackupFilePath()), FileAtTheLimit() + "x" + AsStored(raised[0]) + AsStored(raised[1]));
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " " + AsStored(raised[2]));
}
