#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "FaultFixture.h"
#include "protocol/CommandCodes.h"
#include "protocol/StatusCodes.h"

// What the operator would see: the window's status line shows "<command name> command <error
// text>" under the time, and the log gets the same text as "Error,Error for <command name>
// command <error text>". A headless run reads the log line, which is the text the status line
// shows; the window tests check that the status line is built from the same two parts.
namespace
{
using namespace faults;

std::string ErrorEntry(int code, LinkStatus status)
{
    return "Error,Error for " + GetCommandName(code) + " command " + GetErrorText(status);
}

}

class FaultSuite : public FaultFixture
{
protected:
    // After the fault: the unit's state changes are heard again, and the program still ends
    // normally with every setting it was given.
    void ExpectRecoveredAndWhole(ProgramProcess& program, const std::map<std::string, std::string>& settingsBefore)
    {
        const std::size_t doorBefore = CountLogLinesWith("Device cover was opened");
        ASSERT_TRUE(m_sim->Command("inject door open force"));
        EXPECT_TRUE(faults::WaitFor([&] { return CountLogLinesWith("Device cover was opened") > doorBefore; }, 8000))
            << "an unsolicited message after the fault was not heard; " << Diagnostics();
        EXPECT_TRUE(program.IsRunning());
        ASSERT_TRUE(StopProgram(program)) << Diagnostics();

        EXPECT_EQ(CountLogEntries("Event,Application Started"), 1u);
        EXPECT_EQ(CountLogEntries("Event,Application terminated"), 1u);
        EXPECT_EQ(LogEntries().back(), "Event,Application terminated");
        EXPECT_EQ(LogDefect(ReadWholeFile(LogPath()), false), "");
        // The program adds the relays' defaults; every value it was given comes back unchanged.
        const auto after = LeafValues(ReadWholeFile(SettingsPath()));
        for (const auto& [path, value] : settingsBefore)
        {
            const auto found = after.find(path);
            EXPECT_TRUE(found != after.end() && found->second == value) << path << " lost or changed";
        }
    }
};

struct SpoiledAnswer
{
    const char* fault;
    LinkStatus status;   // what the failed command reports; Ok: nothing fails
};

void PrintTo(const SpoiledAnswer& answer, std::ostream* out)
{
    *out << answer.fault;
}

class SpoiledAnswers : public FaultSuite, public ::testing::WithParamInterface<SpoiledAnswer>
{
};

TEST_P(SpoiledAnswers, TheCommandFailsWithItsTextAndTheNextOneIsAnswered)
{
    const auto settingsBefore = LeafValues(ReadWholeFile(SettingsPath()));
    ASSERT_FALSE(settingsBefore.empty());
    ASSERT_TRUE(m_sim->Command(std::string("fault ") + GetParam().fault + " 1"));
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitUntilPolled(45000)) << Diagnostics();

    // The spoiled answer costs at most the retries of one command; every later command of
    // the start-up burst is answered properly.
    ASSERT_TRUE(faults::WaitFor([&] { return ProperAnswersAfterFault() >= 9; }, 40000)) << Diagnostics();
    const int spoiled = FirstSpoiledCommand();
    ASSERT_GT(spoiled, 0) << Diagnostics();
    if (GetParam().status != LinkStatus::Ok)
    {
        EXPECT_TRUE(WaitForLogEntry(ErrorEntry(spoiled, GetParam().status), 2000)) << Diagnostics();
        EXPECT_EQ(CountLogLinesWith("Error for"), 1u) << Diagnostics();
    }
    else
    {
        EXPECT_EQ(CountLogLinesWith("Error for"), 0u) << Diagnostics();
    }
    ExpectRecoveredAndWhole(program, settingsBefore);
}

// Rubbish and a NAK are refused at once. A retry only listens again, without asking again, so
// after a frame with a bad checksum or end byte the last attempts hear nothing and the command
// reports the time-out, after about two read cycles.
INSTANTIATE_TEST_SUITE_P(Faults, SpoiledAnswers,
                         ::testing::Values(SpoiledAnswer{"nak", LinkStatus::NotAcknowledged},
                                           SpoiledAnswer{"garbage", LinkStatus::InvalidFrame},
                                           SpoiledAnswer{"checksum", LinkStatus::Timeout},
                                           SpoiledAnswer{"end", LinkStatus::Timeout},
                                           SpoiledAnswer{"ack", LinkStatus::Ok}),
                         [](const auto& info) { return std::string(info.param.fault); });

TEST_F(FaultSuite, ASilentUnitTimesOutOneCommandAndIsHeardAgainOnceItAnswers)
{
    const auto settingsBefore = LeafValues(ReadWholeFile(SettingsPath()));
    ASSERT_TRUE(m_sim->Command("silent on"));
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(m_sim->WaitForReceivedFrames(1, 15000)) << Diagnostics();
    const int first = FrameCode(m_sim->ReceivedFrames().front());
    ASSERT_GT(first, 0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForLogEntry(ErrorEntry(first, LinkStatus::Timeout), 40000)) << Diagnostics();
    const auto failedAfter = std::chrono::steady_clock::now() - started;
    EXPECT_GT(failedAfter, std::chrono::seconds(15)) << "gave up before its retries";
    ASSERT_TRUE(m_sim->Command("silent off"));

    // The command that was waiting when the unit woke is answered: one link cycle.
    const std::size_t sentBefore = m_sim->SentFrames().size();
    EXPECT_TRUE(m_sim->WaitForSentFrames(sentBefore + 1, 8000)) << Diagnostics();
    EXPECT_TRUE(WaitUntilPolled(20000)) << Diagnostics();
    // Only the one command that met the silence failed (or two, when the unit woke while
    // the next one was being asked).
    EXPECT_LE(CountLogLinesWith("Error for"), 2u) << Diagnostics();
    ExpectRecoveredAndWhole(program, settingsBefore);
}

TEST_F(FaultSuite, AnAdapterPulledMidFrameIsReportedAndThePortIsTakenAgainWhenPluggedIn)
{
    const auto settingsBefore = LeafValues(ReadWholeFile(SettingsPath()));
    // Slow answers keep commands in the queue, so the pull lands in the middle of the burst.
    ASSERT_TRUE(m_sim->Command("delay 400"));
    ProgramProcess program(OutputPath());
    ASSERT_TRUE(m_sim->WaitForReceivedFrames(2, 15000)) << Diagnostics();
    ASSERT_TRUE(m_sim->Command("hangup"));
    // A pulled adapter's device node goes away. The unit's old line name is free for the next
    // pseudo-terminal anyone opens (another test's unit, say), so the name must go too.
    std::filesystem::remove(m_sim->LinkPath());
    const std::size_t receivedAtPull = m_sim->ReceivedFrames().size();

    // The failed read is reported; the open that fails while the adapter is out is reported once,
    // naming the port.
    const std::string openFailed =
        "Error for COM" + std::to_string(faults::kComPort) + ": " + GetErrorText(LinkStatus::OpenFailed);
    ASSERT_TRUE(faults::WaitFor([&] { return CountLogLinesWith(openFailed) >= 1; }, 30000)) << Diagnostics();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(CountLogLinesWith(openFailed), 1u) << Diagnostics();
    EXPECT_TRUE(program.IsRunning());

    ASSERT_TRUE(m_sim->Command("delay 0"));
    ASSERT_TRUE(m_sim->Command("replug"));
    ASSERT_TRUE(std::filesystem::is_symlink(m_sim->LinkPath()));
    // Every command still queued reaches the new line: the start-up burst finishes.
    EXPECT_TRUE(m_sim->WaitForReceivedFrames(receivedAtPull + 1, 8000)) << Diagnostics();
    EXPECT_TRUE(WaitUntilPolled(30000)) << Diagnostics();
    ExpectRecoveredAndWhole(program, settingsBefore);
}

TEST_F(FaultSuite, AReadOnlyDataFolderLeavesTheProgramRunningAndTheFilesAsTheyWere)
{
    // A log from an earlier run, which must not be cut or touched.
    const std::string oldLog = "1/1/2026 10:00:00 AM,Event,Application Started\r\n";
    WriteWholeFile(LogPath(), oldLog);
    const std::string settingsBefore = ReadWholeFile(SettingsPath());
    ASSERT_TRUE(m_sim->Command("fault nak 1"));
    ProgramProcess program(OutputPath(), m_folder.DataFolder());
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    ASSERT_TRUE(m_sim->Command("inject door open force"));
    ASSERT_TRUE(m_sim->WaitForTranscriptLine("TX 02 0D 01 01", 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(program.IsRunning()) << Diagnostics();

    // An edit made meanwhile (the test may write there): the program would keep it, and says it
    // cannot, naming the file and the system's reason; the file stays whole.
    const std::string edited = SettingsText(29);
    WriteWholeFile(SettingsPath(), edited);
    ASSERT_TRUE(StopProgram(program)) << Diagnostics();
    EXPECT_EQ(ReadWholeFile(SettingsPath()), edited);
    const std::string said = ReadWholeFile(OutputPath());
    EXPECT_NE(said.find("Settings not saved: " + SettingsPath() + ": Read-only file system"), std::string::npos) << said;
    EXPECT_EQ(ReadWholeFile(LogPath()), oldLog);
    for (const auto& entry : std::filesystem::directory_iterator(m_folder.DataFolder()))
        EXPECT_EQ(entry.path().filename().string().rfind(".settings.xml.saving-", 0), std::string::npos);
}

TEST_F(FaultSuite, ATerminationSignalTheMomentStartUpIsLoggedStillEndsTheRunNormally)
{
    // Asked to end while the window is still being made: the request waits for the loop.
    for (int run = 1; run <= 3; ++run)
    {
        ProgramProcess program(OutputPath());
        ASSERT_TRUE(faults::WaitFor([&] { return CountLogEntries("Event,Application Started") >= std::size_t(run); },
                                    20000))
            << Diagnostics();
        ASSERT_TRUE(StopProgram(program)) << "run " << run << "; " << Diagnostics();
        EXPECT_EQ(CountLogEntries("Event,Application terminated"), std::size_t(run));
    }
    // Nothing changed: never rewritten.
    EXPECT_EQ(ReadWholeFile(SettingsPath()), SettingsText());
}
