#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "FaultFixture.h"

// The program killed with SIGKILL at any moment: the settings file is always either the
// document it had (or its edit on disk) or the complete one the program writes, byte for byte,
// and the log holds
// only whole lines. Each log line goes out in one write, so a kill cannot leave half a line;
// a line without its CR LF is accepted only as the file's very last bytes (a write the kill
// cut short), and any such tail is counted and must not be followed by more lines.
//
// QM_FAULT_KILLS sets the kills of each case (default 25, 50 in all); the long command runs
// more.
namespace
{
using namespace faults;

int KillsPerCase()
{
    const char* text = std::getenv("QM_FAULT_KILLS");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > 0 ? count : 25;
}

std::size_t LeftoverTemporaries(const std::string& folder)
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().rfind(".settings.xml.saving-", 0) == 0)
            ++count;
    return count;
}
}

class KillTest : public FaultFixture
{
protected:
    void SetUp() override
    {
        FaultFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_old = SettingsText();
        // A file left as it was is not written again; one edited on disk while the program runs
        // is, in the program's own form, at the normal end: that is the save a kill may cut.
        m_edited = SettingsText(29);
        ProgramProcess program(OutputPath());
        ASSERT_TRUE(WaitForLogEntry("Event,Application Started", 20000)) << Diagnostics();
        WriteWholeFile(SettingsPath(), m_edited);
        ASSERT_TRUE(StopProgram(program)) << Diagnostics();
        m_new = ReadWholeFile(SettingsPath());
        ASSERT_NE(m_new, m_edited);
        ASSERT_TRUE(ParsesAsSettings(m_new));
        const auto seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
        m_random.seed(seed);
        RecordProperty("seed", std::to_string(seed));
        std::printf("random seed %u\n", seed);
    }

    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    // One run: the old document in place, the program started, `kill` ends it somehow.
    void RunAndKill(int iteration, const std::function<void(ProgramProcess&)>& kill)
    {
        WriteWholeFile(SettingsPath(), m_old);
        {
            ProgramProcess program(OutputPath());
            kill(program);
            const int status = program.WaitForExit(15000);
            ASSERT_NE(status, -1) << "run " << iteration << " did not end";
            if (WIFEXITED(status))
                ++m_cleanExits;
        }
        const std::string now = ReadWholeFile(SettingsPath());
        if (now == m_new)
            ++m_newSeen;
        else if (now == m_old || now == m_edited)
            ++m_oldSeen;
        else
            FAIL() << "run " << iteration << ": settings.xml is neither document:\n" << now;
        ASSERT_TRUE(ParsesAsSettings(now));

        const std::string log = ReadWholeFile(LogPath());
        ASSERT_FALSE(m_tornTail) << "run " << iteration << " appended after a torn line";
        const std::string defect = LogDefect(log, true);
        ASSERT_EQ(defect, "") << "run " << iteration;
        if (!log.empty() && log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") != 0)
        {
            m_tornTail = true;
            ++m_tornTails;
        }
        // A save cut short leaves at most its own temporary file; the next save removes it.
        ASSERT_LE(LeftoverTemporaries(m_folder.DataFolder()), 1u) << "run " << iteration;
    }

    void Report(const char* what)
    {
        std::printf("%s: %d kills, %d left the old document, %d the new one, %d ended on their own, "
                    "%d torn log tails\n",
                    what, KillsPerCase(), m_oldSeen, m_newSeen, m_cleanExits, m_tornTails);
        RecordProperty("old", m_oldSeen);
        RecordProperty("new", m_newSeen);
    }

    std::string m_old;
    std::string m_edited;   // m_old as edited on disk during a run
    std::string m_new;
    std::mt19937 m_random;
    int m_oldSeen = 0;
    int m_newSeen = 0;
    int m_cleanExits = 0;
    int m_tornTails = 0;
    bool m_tornTail = false;
};

TEST_F(KillTest, SigkillAtRandomMomentsOfARunLeavesTheOldSettingsAndWholeLogLines)
{
    for (int i = 0; i < KillsPerCase() && !HasFatalFailure(); ++i)
    {
        RunAndKill(i, [&](ProgramProcess& program) {
            std::this_thread::sleep_for(std::chrono::milliseconds(Between(0, 1200)));
            program.Signal(SIGKILL);
        });
    }
    Report("kills while running");
    // Nothing but the shutdown writes the settings, and no run here was asked to end.
    EXPECT_EQ(m_newSeen, 0);
}

TEST_F(KillTest, SigkillDuringTheShutdownSaveLeavesOneWholeDocument)
{
    std::size_t started = CountLogEntries("Event,Application Started");
    for (int i = 0; i < KillsPerCase() && !HasFatalFailure(); ++i)
    {
        RunAndKill(i, [&](ProgramProcess& program) {
            WaitForLogEntry("Event,Application Started", 20000, ++started);
            WriteWholeFile(SettingsPath(), m_edited);
            std::this_thread::sleep_for(std::chrono::milliseconds(Between(0, 300)));
            program.Signal(SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(Between(0, 50)));
            program.Signal(SIGKILL);
        });
    }
    Report("kills during shutdown");
    EXPECT_EQ(m_oldSeen + m_newSeen, KillsPerCase());
}
