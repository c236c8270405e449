#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "MonitorRecorder.h"
#include "netmon/MonitorAction.h"
#include "netmon/NetworkMonitor.h"

namespace
{
// The fake echo: answers as told and remembers what it was asked. Used on the test thread only.
int g_pingResult = -3;
int g_pingCalls = 0;
std::string g_lastHost;

int FakePing(const std::string& host)
{
    ++g_pingCalls;
    g_lastHost = host;
    return g_pingResult;
}

class NetworkMonitorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_pingResult = -3;
        g_pingCalls = 0;
        g_lastHost.clear();
        monitor.SetPingFunction(&FakePing);
        monitor.Attach(&recorder);
    }
    void TearDown() override { monitor.Detach(&recorder); }

    void Configure(std::int32_t threshold, MonitorAction action, std::int32_t cycleEvery, std::int32_t limit)
    {
        monitor.SetSuppressNotifications(true);
        monitor.SetThreshold(threshold);
        monitor.SetAction(action);
        monitor.SetCycleEveryErrorCount(cycleEvery);
        monitor.SetAutoResetLimit(limit);
        monitor.SetSuppressNotifications(false);
    }

    // Runs failed checks and returns the 1-based numbers of those that raised a failure.
    std::vector<int> FailTimes(int count)
    {
        std::vector<int> raisedAt;
        g_pingResult = -3;
        for (int i = 1; i <= count; ++i)
        {
            const std::size_t before = recorder.Errors().size();
            EXPECT_TRUE(monitor.Run());
            if (recorder.Errors().size() != before)
                raisedAt.push_back(i);
        }
        return raisedAt;
    }

    // Leaves all three counters non-zero: threshold 2, one crossing of five, one more failure.
    void MakeCountersNonZero()
    {
        Configure(2, MonitorActionCyclePowerEvery, 5, 3);
        FailTimes(3);
        monitor.SetCurrentResetCount(2);
        ASSERT_EQ(monitor.GetFailureCount(), 1);
        ASSERT_EQ(monitor.GetThresholdCrossings(), 1);
        ASSERT_EQ(monitor.GetCurrentResetCount(), 2);
    }

    CNetworkMonitor monitor;
    MonitorRecorder recorder;
};
}

TEST(NetworkMonitorDefaults, NewMonitorHasTheNewMonitorValues)
{
    CNetworkMonitor monitor;
    EXPECT_EQ(monitor.GetEventName(), "ISP Reboot");
    EXPECT_EQ(monitor.GetTarget(), "www.google.com");
    EXPECT_EQ(monitor.GetTarget(), CNetworkMonitor::DefaultTarget);
    EXPECT_EQ(monitor.GetPollIntervalInMinutes(), 30);
    EXPECT_EQ(monitor.GetRelayIndex(), 1);
    EXPECT_EQ(monitor.GetThreshold(), 3);
    EXPECT_EQ(monitor.GetAction(), MonitorActionCyclePower);
    EXPECT_EQ(monitor.GetCycleEveryErrorCount(), 1);
    EXPECT_EQ(monitor.GetAutoResetLimit(), 1);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(monitor.GetFailureCount(), 0);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 0);
    EXPECT_FALSE(monitor.IsSuppressingNotifications());
}

// --- Setters -------------------------------------------------------------------------------

struct SetterCase
{
    const char* Name;
    std::function<void(CNetworkMonitor&)> SetSame;       // stores the value the monitor already has
    std::function<void(CNetworkMonitor&)> SetOther;      // stores a new value
    std::function<bool(const CNetworkMonitor&)> HasOther;
};

void PrintTo(const SetterCase& c, std::ostream* out)
{
    *out << c.Name;
}

class NetworkMonitorSetterTest : public NetworkMonitorTest, public ::testing::WithParamInterface<SetterCase>
{
};

TEST_P(NetworkMonitorSetterTest, UnchangedValueStillClearsCountersAndNotifiesOnce)
{
    MakeCountersNonZero();
    const int changesBefore = recorder.Changes();

    GetParam().SetSame(monitor);

    EXPECT_EQ(monitor.GetFailureCount(), 0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 1) << "crossings survive every setter";
    EXPECT_EQ(recorder.Changes(), changesBefore + 1);
    EXPECT_TRUE(recorder.Errors().empty());
}

TEST_P(NetworkMonitorSetterTest, StoresTheNewValue)
{
    const int changesBefore = recorder.Changes();
    GetParam().SetOther(monitor);
    EXPECT_TRUE(GetParam().HasOther(monitor));
    EXPECT_EQ(recorder.Changes(), changesBefore + 1);
}

TEST_P(NetworkMonitorSetterTest, SuppressedSetterStoresAndClearsButRaisesNothing)
{
    MakeCountersNonZero();
    const int changesBefore = recorder.Changes();

    monitor.SetSuppressNotifications(true);
    GetParam().SetOther(monitor);
    monitor.SetSuppressNotifications(false);

    EXPECT_TRUE(GetParam().HasOther(monitor));
    EXPECT_EQ(monitor.GetFailureCount(), 0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(recorder.Changes(), changesBefore);
}

INSTANTIATE_TEST_SUITE_P(
    EverySetter, NetworkMonitorSetterTest,
    ::testing::Values(
        SetterCase{"EventName", [](CNetworkMonitor& m) { m.SetEventName(m.GetEventName()); },
                   [](CNetworkMonitor& m) { m.SetEventName("Wèb cam, hall"); },
                   [](const CNetworkMonitor& m) { return m.GetEventName() == "Wèb cam, hall"; }},
        SetterCase{"Target", [](CNetworkMonitor& m) { m.SetTarget(m.GetTarget()); },
                   [](CNetworkMonitor& m) { m.SetTarget("127.0.0.9"); },
                   [](const CNetworkMonitor& m) { return m.GetTarget() == "127.0.0.9"; }},
        SetterCase{"PollInterval", [](CNetworkMonitor& m) { m.SetPollIntervalInMinutes(m.GetPollIntervalInMinutes()); },
                   [](CNetworkMonitor& m) { m.SetPollIntervalInMinutes(7); },
                   [](const CNetworkMonitor& m) { return m.GetPollIntervalInMinutes() == 7; }},
        SetterCase{"RelayIndex", [](CNetworkMonitor& m) { m.SetRelayIndex(m.GetRelayIndex()); },
                   [](CNetworkMonitor& m) { m.SetRelayIndex(4); },
                   [](const CNetworkMonitor& m) { return m.GetRelayIndex() == 4; }},
        SetterCase{"Threshold", [](CNetworkMonitor& m) { m.SetThreshold(m.GetThreshold()); },
                   [](CNetworkMonitor& m) { m.SetThreshold(9); },
                   [](const CNetworkMonitor& m) { return m.GetThreshold() == 9; }},
        SetterCase{"Action", [](CNetworkMonitor& m) { m.SetAction(m.GetAction()); },
                   [](CNetworkMonitor& m) { m.SetAction(MonitorActionDoNothing); },
                   [](const CNetworkMonitor& m) { return m.GetAction() == MonitorActionDoNothing; }},
        SetterCase{"CycleEvery", [](CNetworkMonitor& m) { m.SetCycleEveryErrorCount(m.GetCycleEveryErrorCount()); },
                   [](CNetworkMonitor& m) { m.SetCycleEveryErrorCount(11); },
                   [](const CNetworkMonitor& m) { return m.GetCycleEveryErrorCount() == 11; }},
        SetterCase{"AutoResetLimit", [](CNetworkMonitor& m) { m.SetAutoResetLimit(m.GetAutoResetLimit()); },
                   [](CNetworkMonitor& m) { m.SetAutoResetLimit(12); },
                   [](const CNetworkMonitor& m) { return m.GetAutoResetLimit() == 12; }}),
    [](const ::testing::TestParamInfo<SetterCase>& info) { return std::string(info.param.Name); });

TEST_F(NetworkMonitorTest, SetCurrentResetCountClearsNothingButStillNotifies)
{
    MakeCountersNonZero();
    const int changesBefore = recorder.Changes();

    monitor.SetCurrentResetCount(2);

    EXPECT_EQ(monitor.GetCurrentResetCount(), 2);
    EXPECT_EQ(monitor.GetFailureCount(), 1);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 1);
    EXPECT_EQ(recorder.Changes(), changesBefore + 1);

    monitor.SetSuppressNotifications(true);
    monitor.SetCurrentResetCount(0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(recorder.Changes(), changesBefore + 1);
}

TEST_F(NetworkMonitorTest, SuppressionDoesNotSwallowAFailureRecord)
{
    Configure(1, MonitorActionCyclePower, 1, 1);
    monitor.SetSuppressNotifications(true);
    FailTimes(1);
    EXPECT_EQ(recorder.Errors().size(), 1u);
    EXPECT_EQ(recorder.Changes(), 0);
}

TEST_F(NetworkMonitorTest, CountersChangeWithoutChangeNotifications)
{
    Configure(3, MonitorActionCyclePower, 1, 1);
    FailTimes(5);
    g_pingResult = 0;
    monitor.Run();
    EXPECT_EQ(recorder.Changes(), 0);
}

// --- Counting --------------------------------------------------------------------------------

TEST_F(NetworkMonitorTest, ThresholdThreeCyclePowerLimitOne)
{
    monitor.SetSuppressNotifications(true);
    monitor.SetTarget("127.0.0.7");
    monitor.SetRelayIndex(2);
    monitor.SetSuppressNotifications(false);
    Configure(3, MonitorActionCyclePower, 1, 1);

    EXPECT_EQ(FailTimes(2), std::vector<int>{});
    EXPECT_EQ(monitor.GetFailureCount(), 2);
    EXPECT_EQ(g_lastHost, "127.0.0.7");

    EXPECT_EQ(FailTimes(1), std::vector<int>{1});
    EXPECT_EQ(monitor.GetCurrentResetCount(), 1);
    EXPECT_EQ(monitor.GetFailureCount(), 0);

    EXPECT_EQ(FailTimes(6), (std::vector<int>{3, 6}));
    EXPECT_EQ(monitor.GetCurrentResetCount(), 1) << "stays at the limit";

    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), 3u);
    // The record carries the count before the increment: only the first one may cycle power.
    EXPECT_EQ(errors[0].CurrentResetCount, 0);
    EXPECT_EQ(errors[1].CurrentResetCount, 1);
    EXPECT_EQ(errors[2].CurrentResetCount, 1);
    for (const auto& error : errors)
    {
        EXPECT_EQ(error.RelayIndex, 2);
        EXPECT_EQ(error.Action, MonitorActionCyclePower);
        EXPECT_EQ(error.Target, "127.0.0.7");
        EXPECT_EQ(error.AutoResetLimit, 1);
    }
}

TEST_F(NetworkMonitorTest, SuccessClearsAllThreeCounters)
{
    MakeCountersNonZero();
    g_pingResult = 0;
    EXPECT_TRUE(monitor.Run());
    EXPECT_EQ(monitor.GetFailureCount(), 0);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_TRUE(recorder.Errors().empty());
}

TEST_F(NetworkMonitorTest, SuccessRestoresTheLimitForTheNextOutage)
{
    Configure(3, MonitorActionCyclePower, 1, 1);
    FailTimes(6);
    g_pingResult = 0;
    monitor.Run();
    FailTimes(3);
    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[2].CurrentResetCount, 0);
}

TEST_F(NetworkMonitorTest, ResetCountLoadedAtTheLimitCyclesNothingUntilTheHostAnswers)
{
    Configure(3, MonitorActionCyclePower, 1, 2);
    monitor.SetCurrentResetCount(2);
    FailTimes(3);
    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].CurrentResetCount, errors[0].AutoResetLimit);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 2);
}

TEST_F(NetworkMonitorTest, ActionDoNothingRaisesEveryCrossingAndCountsToTheLimit)
{
    Configure(2, MonitorActionDoNothing, 1, 2);
    EXPECT_EQ(FailTimes(8), (std::vector<int>{2, 4, 6, 8}));
    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].CurrentResetCount, 0);
    EXPECT_EQ(errors[1].CurrentResetCount, 1);
    EXPECT_EQ(errors[2].CurrentResetCount, 2);
    EXPECT_EQ(errors[3].CurrentResetCount, 2);
    EXPECT_EQ(errors[0].Action, MonitorActionDoNothing);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 2);
}

TEST_F(NetworkMonitorTest, CyclePowerEveryCountsCrossingsBetweenFailures)
{
    Configure(3, MonitorActionCyclePowerEvery, 2, 5);
    FailTimes(3);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 1);
    EXPECT_EQ(monitor.GetFailureCount(), 0);
    FailTimes(3);
    EXPECT_EQ(monitor.GetThresholdCrossings(), 0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 1);
}

TEST_F(NetworkMonitorTest, RunPassesTheTargetUnchanged)
{
    monitor.SetTarget("hôst.example");
    monitor.Run();
    EXPECT_EQ(g_pingCalls, 1);
    EXPECT_EQ(g_lastHost, "hôst.example");
}

// Which consecutive failed pings raise a failure, for one configuration.
struct CountingCase
{
    const char* Name;
    std::int32_t Threshold;
    MonitorAction Action;
    std::int32_t CycleEvery;
    int Failures;
    std::vector<int> RaisedAt;
};

void PrintTo(const CountingCase& c, std::ostream* out)
{
    *out << c.Name;
}

class NetworkMonitorCountingTest : public NetworkMonitorTest, public ::testing::WithParamInterface<CountingCase>
{
};

TEST_P(NetworkMonitorCountingTest, RaisesAtTheExpectedFailures)
{
    const CountingCase& c = GetParam();
    Configure(c.Threshold, c.Action, c.CycleEvery, 3);
    EXPECT_EQ(FailTimes(c.Failures), c.RaisedAt);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, NetworkMonitorCountingTest,
    ::testing::Values(
        CountingCase{"CyclePowerThree", 3, MonitorActionCyclePower, 1, 9, {3, 6, 9}},
        CountingCase{"CyclePowerIgnoresCycleEvery", 3, MonitorActionCyclePower, 4, 6, {3, 6}},
        CountingCase{"EveryTwoCrossingsOfThree", 3, MonitorActionCyclePowerEvery, 2, 18, {6, 12, 18}},
        CountingCase{"EveryOneCrossingIsEveryCrossing", 2, MonitorActionCyclePowerEvery, 1, 6, {2, 4, 6}},
        CountingCase{"ThresholdOneRaisesEachFailure", 1, MonitorActionCyclePower, 1, 3, {1, 2, 3}},
        // The editor keeps values in range; a file edited by hand may not.
        CountingCase{"ThresholdZeroActsLikeOne", 0, MonitorActionCyclePower, 1, 2, {1, 2}},
        CountingCase{"CycleEveryZeroActsLikeOne", 2, MonitorActionCyclePowerEvery, 0, 4, {2, 4}}),
    [](const ::testing::TestParamInfo<CountingCase>& info) { return std::string(info.param.Name); });

// --- Action texts ------------------------------------------------------------------------------

TEST(MonitorActionText, ValuesMapToTheirTexts)
{
    EXPECT_EQ(MonitorActionToText(0), "Do nothing");
    EXPECT_EQ(MonitorActionToText(1), "Cycle power");
    EXPECT_EQ(MonitorActionToText(2), "Cycle power every");
    EXPECT_EQ(MonitorActionToText(-1), "");
    EXPECT_EQ(MonitorActionToText(3), "");
}

TEST(MonitorActionText, TextsMapBackExactlyWithTheThirdAsFallback)
{
    EXPECT_EQ(MonitorActionFromText("Do nothing"), MonitorActionDoNothing);
    EXPECT_EQ(MonitorActionFromText("Cycle power"), MonitorActionCyclePower);
    EXPECT_EQ(MonitorActionFromText("Cycle power every"), MonitorActionCyclePowerEvery);
    EXPECT_EQ(MonitorActionFromText("cycle power"), MonitorActionCyclePowerEvery);
    EXPECT_EQ(MonitorActionFromText("Do nothing "), MonitorActionCyclePowerEvery);
    EXPECT_EQ(MonitorActionFromText(""), MonitorActionCyclePowerEvery);
}
