#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "log/Log.h"
#include "tests/log/LogTestSupport.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// In the C locale the tests run in, the date/time text is "%x %X": 12/08/25 10:42:00.
const std::string kDatePattern = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";
}

TEST(LogFile, FirstOpenCreatesTheFolderChainAndStartsTheFileWithOneBlank)
{
    TempDataFolder temp;
    ASSERT_FALSE(DirectoryExists(GetDataFolder()));
    CLog log;
    LineCollector collector;
    log.Attach(&collector);

    log.Open();
    ASSERT_TRUE(log.IsOpen());
    EXPECT_TRUE(DirectoryExists(GetDataFolder()));
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " ");

    log.Write(LogEntryLevel::Event, "Application Started");
    ASSERT_EQ(collector.Lines().size(), 1u);
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " " + AsStored(collector.Lines()[0]));
}

TEST(LogFile, LineIsDateTimeLevelWordAndDescriptionEndedByCrLf)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();

    log.Write(LogEntryLevel::Error, "x");

    const std::string text = ReadWholeFile(LogFilePath());
    EXPECT_TRUE(std::regex_match(text, std::regex(" " + kDatePattern + ",Error,x\r\n"))) << text;
    // Observers get the same line with a plain LF end.
    ASSERT_EQ(collector.Lines().size(), 1u);
    EXPECT_EQ(" " + AsStored(collector.Lines()[0]), text);
    EXPECT_EQ(collector.Lines()[0].back(), '\n');
}

TEST(LogFile, EveryLevelHasItsWordAndUnknownLevelsAreWrittenAsNumbers)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    const std::map<int, std::string> words = {
        {LogEntryLevel::Debug, "Debug"}, {LogEntryLevel::Error, "Error"},
        {LogEntryLevel::Event, "Event"}, {3, "3"}, {-1, "-1"}};
    for (const auto& [level, word] : words)
        log.Write(level, "entry");

    const auto lines = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_EQ(lines.size(), words.size());
    auto line = lines.begin();
    for (const auto& [level, word] : words)
        EXPECT_TRUE(std::regex_match(*line++, std::regex(kDatePattern + "," + word + ",entry")));
}

TEST(LogFile, DescriptionKeepsCommasAndUtf8ButLineBreaksBecomeBlanks)
{
    TempDataFolder temp;
    CLog log;
    log.Open();

    log.Write(LogEntryLevel::Event, "Relay \"Zähler ✓\" a,b\r\nsecond\nthird");

    const auto lines = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(kDatePattern + ",Event,Relay \"Zähler ✓\" a,b  second third")))
        << lines[0];
}

TEST(LogFile, ReopeningAppendsWithoutASecondBlankAndAnEmptyFileGetsOne)
{
    TempDataFolder temp;
    {
        CLog log;
        log.Open();
        log.Write(LogEntryLevel::Event, "one");
        log.Close();
        EXPECT_FALSE(log.IsOpen());
        log.Open();
        log.Write(LogEntryLevel::Event, "two");
    }
    std::string text = ReadWholeFile(LogFilePath());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), ' ');
    const auto lines = StoredLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(",Event,one"));
    EXPECT_TRUE(lines[1].ends_with(",Event,two"));

    // A zero-length file (a crash between creating and writing) is treated like a new one.
    WriteWholeFile(LogFilePath(), "");
    CLog log;
    log.Open();
    log.Write(LogEntryLevel::Event, "three");
    text = ReadWholeFile(LogFilePath());
    EXPECT_TRUE(std::regex_match(text, std::regex(" " + kDatePattern + ",Event,three\r\n"))) << text;
}

TEST(LogFile, SecondLogOnTheSameFileStaysUnopenedUntilTheFirstCloses)
{
    TempDataFolder temp;
    CLog first;
    first.Open();
    ASSERT_TRUE(first.IsOpen());

    CLog second;
    LineCollector collector;
    second.Attach(&collector);
    second.Open();
    EXPECT_FALSE(second.IsOpen());
    second.Write(LogEntryLevel::Event, "from the second log");
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " ");
    EXPECT_EQ(collector.Lines().size(), 1u);

    first.Close();
    second.Open();
    EXPECT_TRUE(second.IsOpen());
}

TEST(LogFile, DescriptorIsClosedOnExecSoARestartedProgramCanOpenTheLog)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    ASSERT_TRUE(log.IsOpen());

    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != std::filesystem::path(LogFilePath()))
            continue;
        ++found;
        const int fd = std::atoi(entry.path().filename().c_str());
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_EQ(found, 1);
}

TEST(LogFile, WithoutAnOpenFileWritesReachObserversAndNothingFails)
{
    TempDataFolder temp;
    // A plain file where the data folder's parent should be: the folder cannot be made.
    const std::string blocked = temp.Root() + "/blocked";
    WriteWholeFile(blocked, "not a folder");
    setenv("XDG_DATA_HOME", blocked.c_str(), 1);

    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    EXPECT_FALSE(log.IsOpen());

    log.Write(LogEntryLevel::Error, "still seen");
    ASSERT_EQ(collector.Lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(collector.Lines()[0], std::regex(kDatePattern + ",Error,still seen\n")));
    EXPECT_TRUE(log.ReadNewestLines(100).empty());
    EXPECT_FALSE(log.Export(temp.Root() + "/copy.log"));
    EXPECT_FALSE(std::filesystem::exists(temp.Root() + "/copy.log"));
    EXPECT_EQ(ReadWholeFile(blocked), "not a folder");
}

TEST(LogFile, ConcurrentWritersNeverTearLinesAndEveryRaisedLineIsInTheFile)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();

    constexpr int kWriters = 4;
    constexpr int kLinesEach = 200;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
    {
        writers.emplace_back([&log, w] {
            for (int i = 0; i < kLinesEach; ++i)
                log.Write(LogEntryLevel::Debug, "writer " + std::to_string(w) + " line " + std::to_string(i));
        });
    }
    for (auto& writer : writers)
        writer.join();

    const auto raised = collector.Lines();
    const auto stored = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_FALSE(raised.empty());
    ASSERT_EQ(stored.size(), raised.size());

    std::multiset<std::string> raisedSet;
    for (const auto& line : raised)
        raisedSet.insert(WithoutBreak(line));
    EXPECT_EQ(std::multiset<std::string>(stored.begin(), stored.end()), raisedSet);

    // Each writer's lines are whole and in the order that writer wrote them.
    const std::regex layout(kDatePattern + R"(,Debug,writer (\d) line (\d+))");
    int lastLine[kWriters] = {-1, -1, -1, -1};
    for (const auto& line : stored)
    {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
        const int writer = std::stoi(match[1]);
        const int number = std::stoi(match[2]);
        EXPECT_GT(number, lastLine[writer]);
        lastLine[writer] = number;
    }
}

TEST(LogFile, WriterBlockedLongerThanTheLimitLosesItsLineRaisesNothingAndIsCounted)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();

    ASSERT_TRUE(log.Lock());
    std::chrono::steady_clock::duration waited{};
    std::thread writer([&] {
        const auto start = std::chrono::steady_clock::now();
        log.Write(LogEntryLevel::Event, "lost");
        waited = std::chrono::steady_clock::now() - start;
    });
    writer.join();
    log.Unlock();

    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_TRUE(collector.Lines().empty());
    EXPECT_EQ(ReadWholeFile(LogFilePath()), " ");

    log.Write(LogEntryLevel::Event, "kept");
    EXPECT_EQ(collector.Lines().size(), 1u);
    const auto lines = StoredLines(ReadWholeFile(LogFilePath()));
    ASSERT_EQ(lines.size(), 2u) << "the next line says what was lost first";
    EXPECT_NE(lines[0].find("Error,1 log lines were lost while the log was busy"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("Event,kept"), std::string::npos) << lines[1];
}

// At a stop the count of lines a busy lock dropped is written and raised as a line of its own
// before the last line, so the observers (the broker's event topic) hear it too.
TEST(LogFile, AStopSaysHowManyLinesTheBusyLogLostBeforeItsLastLine)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    ASSERT_TRUE(log.Lock());
    std::thread writer([&] { log.Write(LogEntryLevel::Event, "lost"); });
    writer.join();
    log.Unlock();

    log.SumUpFloods();
    log.Write(LogEntryLevel::Event, "Application terminated");
    const auto raised = collector.Lines();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_NE(raised[0].find("Error,1 log lines were lost while the log was busy"), std::string::npos) << raised[0];
    EXPECT_NE(raised[1].find("Event,Application terminated"), std::string::npos) << raised[1];
    EXPECT_EQ(StoredLines(ReadWholeFile(LogFilePath())).size(), 2u) << "said once";
}

TEST(LogExport, CopyHasTheLeadingBlankTheLinesAndLfLineEnds)
{
    TempDataFolder temp;
    CLog log;
    LineCollector collector;
    log.Attach(&collector);
    log.Open();
    log.Write(LogEntryLevel::Event, "Application Started");
    log.Write(LogEntryLevel::Error, "Error for Status command Time-out");
    log.Write(LogEntryLevel::Event, "Application terminated");

    const std::string copy = temp.Root() + "/exported.log";
    WriteWholeFile(copy, std::string(10000, 'o'));   // an older, longer export is replaced
    ASSERT_TRUE(log.Export(copy));

    const auto raised = collector.Lines();
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(ReadWholeFile(copy), " " + raised[0] + raised[1] + raised[2]);

    // The log goes on at its end afterwards.
    log.Write(LogEntryLevel::Event, "after export");
    EXPECT_EQ(StoredLines(ReadWholeFile(LogFilePath())).size(), 4u);
}

TEST(LogExport, RefusesTheLogItselfAndTargetsThatCannotBeCreated)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    log.Write(LogEntryLevel::Event, "keep me");
    const std::string before = ReadWholeFile(LogFilePath());

    EXPECT_FALSE(log.Export(LogFilePath()));
    EXPECT_EQ(ReadWholeFile(LogFilePath()), before);
    // The same file under another name is still the log.
    const std::string alias = temp.Root() + "/alias.log";
    ASSERT_EQ(symlink(LogFilePath().c_str(), alias.c_str()), 0);
    EXPECT_FALSE(log.Export(alias));
    EXPECT_EQ(ReadWholeFile(LogFilePath()), before);

    EXPECT_FALSE(log.Export(temp.Root() + "/no such folder/copy.log"));
    log.Write(LogEntryLevel::Event, "still writing");
    EXPECT_EQ(StoredLines(ReadWholeFile(LogFilePath())).size(), 2u);
}

TEST(LogExport, GivesUpWhenTheLockStaysBusy)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    const std::string copy = temp.Root() + "/copy.log";

    ASSERT_TRUE(log.Lock());
    bool exported = true;
    std::thread exporter([&] { exported = log.Export(copy); });
    exporter.join();
    log.Unlock();

    EXPECT_FALSE(exported);
    EXPECT_FALSE(std::filesystem::exists(copy));
}

// The program's start-up order: the broker thread already logs ("Remote: connected ...") while
// the windows attach their observers to the log one after another. Every observer gets every
// line written after its attach returned, and the writer never walks a list being changed
// (which the thread sanitizer, or a reallocation under the walk, would show).
TEST(LogFile, ObserversAttachedWhileAnotherThreadLogsGetEveryLaterLine)
{
    TempDataFolder temp;
    CLog log;
    log.Open();
    constexpr int kObservers = 64;
    std::vector<std::unique_ptr<LineCollector>> windows;
    for (int n = 0; n < kObservers; ++n)
        windows.push_back(std::make_unique<LineCollector>());

    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::thread broker([&] {
        while (!done.load())
        {
            log.Write(LogEntryLevel::Event, "Remote: connected to 127.0.0.1:1883");
            written.fetch_add(1);
        }
    });
    std::vector<int> writtenBeforeAttach;
    for (auto& window : windows)
    {
        log.Attach(window.get());
        writtenBeforeAttach.push_back(written.load());
    }
    const int atEnd = written.load() + 20;
    while (written.load() < atEnd)
        std::this_thread::yield();
    done = true;
    broker.join();
    const int total = written.load();
    for (int n = 0; n < kObservers; ++n)
    {
        // A line under way when the attach returned may or may not have reached the observer.
        const int seen = static_cast<int>(windows[static_cast<std::size_t>(n)]->Lines().size());
        EXPECT_GE(seen, total - writtenBeforeAttach[static_cast<std::size_t>(n)] - 1) << n;
        log.Detach(windows[static_cast<std::size_t>(n)].get());
    }
    EXPECT_EQ(log.GetObserverCount(), 0u);
}
