#include <gtest/gtest.h>

#include <string>

#include "FaultFixture.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// One monitor on a loopback address that the test's firewall silences, checked every minute,
// failing at the first miss, allowed three resets of which `resets` are used.
std::string SettingsWithResetsUsed(int resets, int pollMinutes = 30)
{
    return "<Settings>\n<ComPort>" + std::to_string(faults::kComPort) +
           "</ComPort>\n<StatusPollIntervalInMinutes>" + std::to_string(pollMinutes) +
           "</StatusPollIntervalInMinutes>\n"
           "<LogLevel>Events &amp; Errors</LogLevel>\n<EnableMemoryCheck>0</EnableMemoryCheck>\n"
           "<MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes>\n<Relays></Relays>\n"
           "<NetworkMonitors><NetworkMonitor><EventName>Flapping</EventName><Target>127.0.0.2</Target>"
           "<PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>1</Threshold>"
           "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>" +
           std::to_string(resets) + "</CurrentResetCount></NetworkMonitor></NetworkMonitors>\n</Settings>\n";
}

std::size_t FramesWithCode(const std::vector<std::string>& frames, int code)
{
    std::size_t count = 0;
    for (const std::string& frame : frames)
        count += faults::FrameCode(frame) == code ? 1 : 0;
    return count;
}
}

// A flapping host must not power-cycle its relay for ever: the reset the run used is saved at
// the stop even though the operator edited the file meanwhile, and after the restart the
// failure at the limit cycles nothing.
TEST_F(FaultFixture, AResetCountAtItsLimitSurvivesAnEditAndARestartAndNoPowerCycleFollows)
{
    constexpr int kRelayTestCycle = 5;
    WriteWholeFile(SettingsPath(), SettingsWithResetsUsed(2));
    {
        ProgramProcess program(OutputPath(), {}, "127.0.0.2");
        ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
        // The first check is a minute after the start; it uses the last reset allowed.
        ASSERT_TRUE(
            faults::WaitFor([&] { return FramesWithCode(m_sim->ReceivedFrames(), kRelayTestCycle) > 0; }, 100000))
            << Diagnostics();
        WriteWholeFile(SettingsPath(), SettingsWithResetsUsed(2, 29));
        ASSERT_TRUE(StopProgram(program)) << Diagnostics();
    }
    const std::string saved = ReadWholeFile(SettingsPath());
    EXPECT_NE(saved.find("<StatusPollIntervalInMinutes>29<"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<CurrentResetCount>3</CurrentResetCount>"), std::string::npos) << saved;

    const std::size_t cyclesBefore = CountLogLinesWith("power cycle on Relay");
    const std::size_t failuresBefore = CountLogLinesWith("unable to communicate with 127.0.0.2");
    const std::size_t framesBefore = FramesWithCode(m_sim->ReceivedFrames(), kRelayTestCycle);
    ProgramProcess again(OutputPath(), {}, "127.0.0.2");
    ASSERT_TRUE(faults::WaitFor(
        [&] { return CountLogLinesWith("unable to communicate with 127.0.0.2") > failuresBefore; }, 100000))
        << Diagnostics();
    ASSERT_TRUE(StopProgram(again)) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("power cycle on Relay"), cyclesBefore) << Diagnostics();
    EXPECT_EQ(FramesWithCode(m_sim->ReceivedFrames(), kRelayTestCycle), framesBefore) << Diagnostics();
    EXPECT_NE(ReadWholeFile(SettingsPath()).find("<CurrentResetCount>3</CurrentResetCount>"), std::string::npos);
}
