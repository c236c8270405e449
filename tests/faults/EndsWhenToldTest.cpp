#include <gtest/gtest.h>

#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "FaultFixture.h"
#include "tests/support/SmallDisk.h"

// The program under a hostile environment: a watchdog limit below what it needs, files that
// are not files, a disk that fills up, a second program on the same data folder, a unit that
// repeats itself without end. Each run must still end on one SIGTERM, whole and saved.
namespace
{
using namespace faults;
namespace fs = std::filesystem;

// Ends by SIGTERM within the time; true when it exited normally.
bool EndsOnOneSigterm(ProgramProcess& program, int timeoutMs)
{
    if (!program.Signal(SIGTERM))
        return false;
    const int status = program.WaitForExit(timeoutMs);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string WithMemoryLimit(int pollMinutes, long limit)
{
    std::string settings = SettingsText(pollMinutes);
    settings.replace(settings.find("<EnableMemoryCheck>0"), 20, "<EnableMemoryCheck>1");
    const std::string old = "<MaxMemorySizeInBytes>26214400";
    settings.replace(settings.find(old), old.size(), "<MaxMemorySizeInBytes>" + std::to_string(limit));
    return settings;
}

std::size_t CountLinesWith(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

}

class EndsWhenTold : public FaultFixture
{
protected:
    void TearDown() override
    {
        if (m_smallDisk)
            ::umount2(m_folder.DataFolder().c_str(), MNT_DETACH);
    }

    // A 128 KiB tmpfs over the data folder, in a mount namespace of this test's own that the
    // program inherits; what the folder held is copied onto it.
    bool MoveDataFolderToASmallDisk()
    {
        if (!EnterPrivateMountNamespace())
            return false;
        const std::string saved = m_folder.Root() + "/saved";
        fs::copy(m_folder.DataFolder(), saved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        if (!MountSmallDisk(m_folder.DataFolder(), 128 * 1024))
            return false;
        m_smallDisk = true;
        fs::copy(saved, m_folder.DataFolder(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        return true;
    }

    std::string FillerPath() const { return m_folder.DataFolder() + "/filler"; }

    bool m_smallDisk = false;
};

TEST_F(EndsWhenTold, AWatchdogLimitBelowTheStartNeedsNoRestartStormAndOneSigtermEndsIt)
{
    WriteWholeFile(SettingsPath(), WithMemoryLimit(1, 1'000'000));
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    std::this_thread::sleep_for(std::chrono::seconds(20));
    EXPECT_EQ(CountLogEntries("Event,Application Started"), 1u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("Restarting: "), 0u);

    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();
    EXPECT_EQ(LogEntries().back(), "Event,Application terminated");
    EXPECT_EQ(ReadWholeFile(SettingsPath()), WithMemoryLimit(1, 1'000'000)) << "nothing changed, nothing written";
}

TEST_F(EndsWhenTold, AFifoNamedLikeTheLogNeitherHangsTheProgramNorLosesTheSettings)
{
    ASSERT_EQ(::mkfifo(LogPath().c_str(), 0644), 0);
    // Full already, and no one reading: the first line written into it would wait for good.
    const int fifo = ::open(LogPath().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    const std::string block(4096, 'p');
    while (::write(fifo, block.data(), block.size()) > 0)
        ;
    while (::write(fifo, "p", 1) > 0)
        ;
    ProgramProcess program(OutputPath());
    const bool polled = WaitUntilPolled();
    ASSERT_TRUE(m_sim->Command("inject door open force"));
    const bool ended = EndsOnOneSigterm(program, 3000);
    ::close(fifo);
    ASSERT_TRUE(polled) << Diagnostics();
    ASSERT_TRUE(ended) << Diagnostics();
    EXPECT_TRUE(fs::is_fifo(LogPath()));
    EXPECT_EQ(ReadWholeFile(SettingsPath()), SettingsText());
    const std::string said = ReadWholeFile(OutputPath());
    EXPECT_EQ(CountLinesWith(said, "Quillmere.log"), 1u) << said;
    EXPECT_EQ(CountLinesWith(said, "not a regular file"), 1u) << said;
}

class FullDisk : public EndsWhenTold, public ::testing::WithParamInterface<bool>
{
};

// false: the disk is full before the log exists; true: the log's last page has room for part
// of a line only, so the first write after the start is cut short.
TEST_P(FullDisk, NoLineIsTornAndTheLogResumesWithTheCountOfLostLinesOnceThereIsRoom)
{
    ASSERT_TRUE(MoveDataFolderToASmallDisk()) << "no private mount namespace here";
    std::string earlier;
    if (GetParam())
    {
        // Whole lines up to 10 bytes short of the page's end.
        const std::string start = "01/01/26 10:00:00,Event,";
        earlier = " ";
        while (earlier.size() < 4096 - 100)
            earlier += start + "earlier line\r\n";
        earlier += start + std::string(4096 - 10 - earlier.size() - start.size() - 2, 'p') + "\r\n";
        WriteWholeFile(LogPath(), earlier);
    }
    FillUp(FillerPath());
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    EXPECT_EQ(ReadWholeFile(LogPath()), GetParam() ? earlier : std::string());

    fs::remove(FillerPath());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(m_sim->Command("inject door open force"));
    ASSERT_TRUE(WaitForLogEntry("Event,Device cover was opened", 8000)) << Diagnostics();
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();

    const std::string log = ReadWholeFile(LogPath());
    EXPECT_EQ(LogDefect(log.substr(1), false), "") << log;
    ASSERT_EQ(log.compare(0, earlier.size(), earlier), 0);
    const auto entries = LogEntries();
    const auto note = std::find_if(entries.begin(), entries.end(), [](const std::string& e) {
        return std::regex_match(e, std::regex(R"(Error,\d+ log lines were lost while the log file could not be written)"));
    });
    ASSERT_NE(note, entries.end()) << log;
    ASSERT_NE(note + 1, entries.end());
    EXPECT_EQ(*(note + 1), "Event,Device cover was opened");
    EXPECT_EQ(entries.back(), "Event,Application terminated");
    EXPECT_EQ(CountLogEntries("Event,Application Started"), 0u) << "written although the disk was full";
}

INSTANTIATE_TEST_SUITE_P(Log, FullDisk, ::testing::Bool());

TEST_F(EndsWhenTold, TwoProgramsNeverShareADataFolderWhateverTheirRuntimeFolders)
{
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    const std::string settingsBefore = ReadWholeFile(SettingsPath());

    const std::string otherSession = m_folder.Root() + "/other-session";
    fs::create_directory(otherSession);
    ::chmod(otherSession.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", otherSession.c_str(), 1);
    ProgramProcess second(m_folder.Root() + "/second.out");
    const int status = second.WaitForExit(3000);
    ASSERT_NE(status, -1) << "the second program kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The second says who holds the folder, and does nothing else.
    EXPECT_NE(ReadWholeFile(m_folder.Root() + "/second.out").find("is in use by quillmere-monitor, pid "),
              std::string::npos);
    EXPECT_EQ(CountLogEntries("Event,Application Started"), 1u);
    EXPECT_EQ(ReadWholeFile(SettingsPath()), settingsBefore);
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();
}

TEST_F(EndsWhenTold, ALockFileAnotherUserPlantedInTheTemporaryFolderDoesNotKeepItFromStarting)
{
    // Without a runtime folder the lock used to fall back to a fixed name in the temporary
    // folder, which anyone can take first.
    const std::string temporary = m_folder.Root() + "/tmp";
    fs::create_directory(temporary);
    const std::string planted = temporary + "/QuillmereGlobalMutex-" + std::to_string(::getuid()) + ".lock";
    const int fd = ::open(planted.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", temporary.c_str(), 1);

    ProgramProcess program(OutputPath());
    const bool polled = WaitUntilPolled();
    ::unsetenv("TMPDIR");
    ::close(fd);
    ASSERT_TRUE(polled) << Diagnostics();
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();
}

TEST_F(EndsWhenTold, SavingLeavesAloneFilesThatOnlyLookLikeItsTemporaries)
{
    // A linked settings file: the save writes beside the link's target, in a shared folder.
    const std::string shared = m_folder.Root() + "/shared";
    fs::create_directory(shared);
    fs::rename(SettingsPath(), shared + "/real.xml");
    fs::create_symlink(shared + "/real.xml", SettingsPath());
    const std::string foreign = shared + "/.real.xml.saving-Xy12Zw";
    const std::string foreignHere = m_folder.DataFolder() + "/.settings.xml.saving-Ab34Cd";
    WriteWholeFile(foreign, "someone else's");
    WriteWholeFile(foreignHere, "someone else's");

    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    // Edited on disk while it runs: the save at the end keeps the edit and writes it again.
    WriteWholeFile(shared + "/real.xml", SettingsText(29));
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();
    EXPECT_TRUE(fs::is_symlink(SettingsPath()));
    const std::string saved = ReadWholeFile(shared + "/real.xml");
    EXPECT_TRUE(ParsesAsSettings(saved));
    EXPECT_NE(saved.find("<StatusPollIntervalInMinutes>29</StatusPollIntervalInMinutes><LogLevel>"), std::string::npos)
        << saved;
    EXPECT_EQ(CountLogLinesWith("changed on disk since it was read: the newer file is kept"), 1u) << Diagnostics();
    EXPECT_EQ(ReadWholeFile(foreign), "someone else's");
    EXPECT_EQ(ReadWholeFile(foreignHere), "someone else's");
}

TEST_F(EndsWhenTold, AUnitRepeatingRelayChangesCannotPushTheStartOutOfTheLog)
{
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    constexpr int kRepeats = 60;
    for (int i = 0; i < kRepeats; ++i)
        ASSERT_TRUE(m_sim->Command(std::string("inject relay 2 ") + (i % 2 ? "on" : "off") + " button force"));
    // Sent after them on the same line: once it is logged, every relay message was read.
    ASSERT_TRUE(m_sim->Command("inject door open force"));
    ASSERT_TRUE(WaitForLogEntry("Event,Device cover was opened", 30000)) << Diagnostics();
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();

    EXPECT_EQ(CountLogLinesWith("state changed to"), 20u);
    const auto entries = LogEntries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries.front(), "Event,Application Started");
    EXPECT_EQ(entries[entries.size() - 2],
              "Event," + std::to_string(kRepeats - 20) + " more \"Relay state changed\" lines were not logged")
        << Diagnostics();
    EXPECT_EQ(entries.back(), "Event,Application terminated");
}

TEST_F(EndsWhenTold, ASignalWhileARestartIsUnderWayEndsTheRunForGood)
{
    WriteWholeFile(SettingsPath(), WithMemoryLimit(1, 1'000'000));
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    // The first poll a minute on restarts (or the one after, should the timer come a little
    // early); the signal follows its log line as closely as can be.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    while (ReadWholeFile(LogPath()).find(",Event,Restarting: ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(CountLogLinesWith("Restarting: private memory "), 1u) << Diagnostics();
    ASSERT_TRUE(EndsOnOneSigterm(program, 3000)) << Diagnostics();

    // Landing in the shutdown cancels the restart; landing after the exec ends the new
    // program as soon as it is up. Either way every start has its end, and nothing follows.
    const std::size_t starts = CountLogEntries("Event,Application Started");
    RecordProperty("starts", static_cast<int>(starts));
    EXPECT_LE(starts, 2u);
    EXPECT_EQ(CountLogEntries("Event,Application terminated"), starts);
    EXPECT_EQ(LogEntries().back(), "Event,Application terminated");
}
