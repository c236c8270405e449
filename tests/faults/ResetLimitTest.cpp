#include <gtest/gtest.h>

#include <string>

#include "FaultFixture.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// One monitor on a loopback address that the test's firewall silences, checked every minute,
// failing at the first miss, whose reset count has already reached its limit.
std::string SettingsAtTheResetLimit()
{
    return "<Settings>\n<ComPort>" + std::to_string(faults::kComPort) +
           "</ComPort>\n<StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>\n"
           "<LogLevel>Events &amp; Errors</LogLevel>\n<EnableMemoryCheck>0</EnableMemoryCheck>\n"
           "<MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes>\n<Relays></Relays>\n"
           "<NetworkMonitors><NetworkMonitor><EventName>Flapping</EventName><Target>127.0.0.2</Target>"
           "<PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>1</Threshold>"
           "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>3</CurrentResetCount></NetworkMonitor>"
           "</NetworkMonitors>\n</Settings>\n";
}

bool HasFrameWithCode(const std::vector<std::string>& frames, int code)
{
    for (const std::string& frame : frames)
    {
        if (faults::FrameCode(frame) == code)
            return true;
    }
    return false;
}
}

// A flapping host must not power-cycle its relay for ever: the reset count the file kept
// across the restart still counts, so the failure after it cycles nothing.
TEST_F(FaultFixture, AResetCountAtItsLimitSurvivesARestartAndNoPowerCycleFollows)
{
    WriteWholeFile(SettingsPath(), SettingsAtTheResetLimit());
    ProgramProcess program(OutputPath(), {}, "127.0.0.2");
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    // The first check is a minute after the start.
    ASSERT_TRUE(faults::WaitFor([&] { return CountLogLinesWith("unable to communicate with 127.0.0.2") > 0; },
                                100000))
        << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("power cycle on Relay"), 0u) << Diagnostics();
    ASSERT_TRUE(StopProgram(program)) << Diagnostics();
    constexpr int kRelayTestCycle = 5;
    EXPECT_FALSE(HasFrameWithCode(m_sim->ReceivedFrames(), kRelayTestCycle)) << Diagnostics();
    EXPECT_NE(ReadWholeFile(SettingsPath()).find("<CurrentResetCount>3</CurrentResetCount>"), std::string::npos)
        << ReadWholeFile(SettingsPath());
}
