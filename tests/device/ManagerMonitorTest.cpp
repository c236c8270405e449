#include <gtest/gtest.h>

#include "netmon/NetworkMonitor.h"
#include "ManagerFixture.h"

// A monitor tick through the manager: the timer starts a ping check on its own thread, the
// failure travels through the settings to the manager, which logs it and queues the power
// cycle within the monitor's limit.
namespace
{
int NoAnswer(const std::string&)
{
    return -3;
}

int Answers(const std::string&)
{
    return 0;
}

class ManagerMonitor : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // One monitor only, every minute, failing on its second ping.
        ASSERT_TRUE(f.settings.LoadFromText(
            "<Settings><NetworkMonitors><NetworkMonitor><EventName>Router</EventName><Target>127.0.0.9</Target>"
            "<PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>2</RelayIndex><Threshold>2</Threshold>"
            "<Action>Cycle power</Action><AutoResetLimit>1</AutoResetLimit></NetworkMonitor></NetworkMonitors>"
            "</Settings>"));
        monitor = f.settings.GetNetworkMonitors().at(0).get();
        monitor->SetPingFunction(&NoAnswer);
        f.manager.StartMonitorTimers();
    }

    void Tick(int minutes)
    {
        for (int i = 0; i < minutes; ++i)
        {
            f.timers.Advance(60'000);
            f.manager.WaitForThreads();   // lets the check started by this tick end
        }
    }

    ManagerFixture f;
    CNetworkMonitor* monitor = nullptr;
};
}

TEST_F(ManagerMonitor, NoPingBeforeTheFirstFullPeriod)
{
    f.timers.Advance(59'999);
    f.manager.WaitForThreads();
    EXPECT_EQ(monitor->GetFailureCount(), 0);
}

TEST_F(ManagerMonitor, ThresholdCrossingWithinTheLimitLogsAndQueuesAPowerCycle)
{
    Tick(2);
    // The limit is 1: this cycle uses it, and one line says so.
    EXPECT_EQ(f.LogLines(),
              (std::vector<std::string>{"Error,Network monitor unable to communicate with 127.0.0.9 power cycle on Relay 2",
                                        "Event,Network monitor Router (127.0.0.9) reached its limit of 1 automatic "
                                        "reset; no power cycle until it answers again"}));
    EXPECT_EQ(f.link.GetQueueLength(), 1u);
    EXPECT_EQ(monitor->GetCurrentResetCount(), 1);

    // Past the limit the failure is only logged.
    Tick(2);
    ASSERT_EQ(f.LogLines().size(), 3u);
    EXPECT_EQ(f.LogLines()[2], "Error,Network monitor unable to communicate with 127.0.0.9 ");
    EXPECT_EQ(f.link.GetQueueLength(), 1u);

    // An answer clears every counter, so the next crossing may cycle the relay again.
    monitor->SetPingFunction(&Answers);
    Tick(1);
    EXPECT_EQ(monitor->GetCurrentResetCount(), 0);
    monitor->SetPingFunction(&NoAnswer);
    Tick(2);
    EXPECT_EQ(f.link.GetQueueLength(), 1u) << "the cycle still waiting is not queued twice";
    const auto lines = f.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 3], "Event,Relay 2 power cycle not sent twice: it was still waiting to be sent");
}

TEST_F(ManagerMonitor, APowerCycleThatNeverReachesTheUnitGivesItsResetBack)
{
    Tick(2);
    ASSERT_EQ(monitor->GetCurrentResetCount(), 1);
    f.manager.Stop();
    EXPECT_EQ(f.LogLines().back(), "Event,Relay 2 power cycle not sent: the link was stopped");
    EXPECT_EQ(monitor->GetCurrentResetCount(), 0) << "the allowance is not used by a cycle that never happened";
}

TEST_F(ManagerMonitor, StopKillsTheMonitorTimersAndAQueuedTickStartsNothing)
{
    f.manager.Stop();
    Tick(5);
    EXPECT_EQ(monitor->GetFailureCount(), 0);
    EXPECT_TRUE(f.LogLines().empty());
}

TEST_F(ManagerMonitor, AMonitorRemovedBeforeItsTickIsNotPinged)
{
    f.settings.RemoveNetworkMonitor(monitor);
    monitor = nullptr;
    Tick(3);
    // Only the settings change is in the log; no check ran for the removed monitor.
    for (const std::string& line : f.LogLines())
        EXPECT_EQ(line.rfind("Event,<Settings>", 0), 0u) << line;
}
