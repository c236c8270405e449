#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "MonitorRecorder.h"
#include "netmon/MonitorRunner.h"
#include "netmon/NetworkMonitor.h"

namespace
{
using namespace std::chrono_literals;

// A failing echo that holds every caller until the test opens the gate, so a test can act
// while checks are known to be under way.
class PingGate
{
public:
    static PingGate& Instance()
    {
        static PingGate gate;
        return gate;
    }

    void Reset()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = false;
        m_entered = 0;
        m_left = 0;
    }

    int Enter()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        ++m_entered;
        m_changed.notify_all();
        // Bounded: a test that forgets to open the gate still ends.
        m_changed.wait_for(lock, 10s, [this] { return m_open; });
        ++m_left;
        m_changed.notify_all();
        return -3;
    }

    void Open()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }

    bool WaitUntilEntered(int count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, 5s, [&] { return m_entered >= count; });
    }

    int Entered()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entered;
    }

    int Left()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_left;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_entered = 0;
    int m_left = 0;
};

int GatedPing(const std::string&)
{
    return PingGate::Instance().Enter();
}

int QuickFailingPing(const std::string&)
{
    return -3;
}

int SlowFailingPing(const std::string&)
{
    std::this_thread::sleep_for(30ms);
    return -3;
}

std::shared_ptr<CNetworkMonitor> MakeMonitor(CNetworkMonitor::PingFunction ping, std::int32_t threshold)
{
    auto monitor = std::make_shared<CNetworkMonitor>();
    monitor->SetThreshold(threshold);
    monitor->SetPingFunction(ping);
    return monitor;
}

bool WaitUntilExpired(const std::weak_ptr<CNetworkMonitor>& monitor)
{
    for (int i = 0; i < 500 && !monitor.expired(); ++i)
        std::this_thread::sleep_for(2ms);
    return monitor.expired();
}

class MonitorRunnerTest : public ::testing::Test
{
protected:
    void SetUp() override { PingGate::Instance().Reset(); }
    // Never leave a check blocked behind a failed assertion.
    void TearDown() override { PingGate::Instance().Open(); }
};
}

TEST_F(MonitorRunnerTest, OverlappingRunOfTheSameMonitorReturnsAtOnce)
{
    auto monitor = MakeMonitor(&GatedPing, 100);
    bool firstRan = false;
    std::thread first([&] { firstRan = monitor->Run(); });
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(1));

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(monitor->Run());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);

    PingGate::Instance().Open();
    first.join();
    EXPECT_TRUE(firstRan);
    EXPECT_EQ(PingGate::Instance().Entered(), 1);
    EXPECT_EQ(monitor->GetFailureCount(), 1) << "the skipped check must not count";
}

TEST_F(MonitorRunnerTest, ChecksStartedWhileOneRunsNeverDoubleCount)
{
    auto monitor = MakeMonitor(&GatedPing, 100);
    CMonitorRunner runner;
    ASSERT_TRUE(runner.Start(monitor));
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(1));
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(runner.Start(monitor));
    // The later checks give way at once; let them all end while the first still runs, or
    // they would merely run after it, which is allowed.
    for (int i = 0; i < 1000 && runner.GetRunningCount() > 1; ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_EQ(runner.GetRunningCount(), 1u);

    PingGate::Instance().Open();
    runner.WaitForAll();
    EXPECT_EQ(PingGate::Instance().Entered(), 1);
    EXPECT_EQ(monitor->GetFailureCount(), 1);
    EXPECT_EQ(runner.GetRunningCount(), 0u);
}

TEST_F(MonitorRunnerTest, DifferentMonitorsAreCheckedInParallel)
{
    auto first = MakeMonitor(&GatedPing, 100);
    auto second = MakeMonitor(&GatedPing, 100);
    CMonitorRunner runner;
    ASSERT_TRUE(runner.Start(first));
    ASSERT_TRUE(runner.Start(second));
    EXPECT_TRUE(PingGate::Instance().WaitUntilEntered(2));
    PingGate::Instance().Open();
    runner.WaitForAll();
    EXPECT_EQ(first->GetFailureCount(), 1);
    EXPECT_EQ(second->GetFailureCount(), 1);
}

TEST_F(MonitorRunnerTest, MonitorRemovedDuringItsCheckLivesUntilTheCheckEnds)
{
    MonitorRecorder recorder;   // outlives the monitor, as the settings object does
    auto monitor = MakeMonitor(&GatedPing, 1);
    monitor->Attach(&recorder);
    std::weak_ptr<CNetworkMonitor> watched = monitor;

    CMonitorRunner runner;
    ASSERT_TRUE(runner.Start(monitor));
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(1));
    monitor.reset();   // the operator removed it
    EXPECT_FALSE(watched.expired());

    PingGate::Instance().Open();
    runner.WaitForAll();
    EXPECT_TRUE(watched.expired()) << "the check's reference was released when it ended";
    // The check finished its counting on the live object and raised its failure.
    EXPECT_EQ(recorder.Errors().size(), 1u);
}

TEST_F(MonitorRunnerTest, DestructorWaitsForRunningChecks)
{
    std::vector<std::shared_ptr<CNetworkMonitor>> monitors;
    for (int i = 0; i < 4; ++i)
        monitors.push_back(MakeMonitor(&SlowFailingPing, 100));
    {
        CMonitorRunner runner;
        for (auto& monitor : monitors)
            ASSERT_TRUE(runner.Start(monitor));
    }
    for (auto& monitor : monitors)
        EXPECT_EQ(monitor->GetFailureCount(), 1);
}

TEST_F(MonitorRunnerTest, FinishedChecksAreReapedSoTheLimitIsNeverReachedByOldOnes)
{
    CMonitorRunner runner;
    const std::size_t starts = CMonitorRunner::MaxRunningChecks * 3;
    for (std::size_t i = 0; i < starts; ++i)
    {
        auto monitor = MakeMonitor(&QuickFailingPing, 100);
        std::weak_ptr<CNetworkMonitor> watched = monitor;
        ASSERT_TRUE(runner.Start(std::move(monitor))) << "start " << i;
        ASSERT_TRUE(WaitUntilExpired(watched));
    }
    runner.WaitForAll();
    EXPECT_EQ(runner.GetRunningCount(), 0u);
}

TEST_F(MonitorRunnerTest, RunningCountFollowsTheChecksWithoutAWait)
{
    CMonitorRunner runner;
    std::vector<std::shared_ptr<CNetworkMonitor>> monitors;
    for (int i = 0; i < 3; ++i)
    {
        monitors.push_back(MakeMonitor(&GatedPing, 100));
        ASSERT_TRUE(runner.Start(monitors.back()));
    }
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(3));
    EXPECT_EQ(runner.GetRunningCount(), 3u);

    PingGate::Instance().Open();
    // The manager asks this before it calls itself idle; ended checks must not count even
    // though nobody has joined them yet.
    for (int i = 0; i < 1000 && runner.GetRunningCount() != 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(runner.GetRunningCount(), 0u);
}

// Monitors of one interval fall due together: beyond the thread limit a check waits for a
// thread rather than being lost, and a monitor due again while it waits waits only once.
TEST_F(MonitorRunnerTest, ChecksBeyondTheLimitWaitForAThreadAndNullMonitorsAreRefused)
{
    CMonitorRunner runner;
    EXPECT_FALSE(runner.Start(nullptr));

    std::vector<std::shared_ptr<CNetworkMonitor>> monitors;
    for (std::size_t i = 0; i < CMonitorRunner::MaxRunningChecks; ++i)
    {
        monitors.push_back(MakeMonitor(&GatedPing, 100));
        ASSERT_TRUE(runner.Start(monitors.back()));
    }
    const int limit = static_cast<int>(CMonitorRunner::MaxRunningChecks);
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(limit));
    auto waiting = MakeMonitor(&GatedPing, 100);
    EXPECT_TRUE(runner.Start(waiting));
    EXPECT_TRUE(runner.Start(waiting));
    EXPECT_EQ(runner.GetRunningCount(), CMonitorRunner::MaxRunningChecks);

    PingGate::Instance().Open();
    runner.WaitForAll();
    for (auto& monitor : monitors)
        EXPECT_EQ(monitor->GetFailureCount(), 1);
    EXPECT_EQ(waiting->GetFailureCount(), 1);
    EXPECT_EQ(PingGate::Instance().Entered(), limit + 1);
}

// A round of many checks at once, as a few hundred monitors of one interval make: each runs
// exactly once, and none is left in the queue when a place frees just as it is queued.
TEST_F(MonitorRunnerTest, ARoundOfManyMonitorsChecksEachOnce)
{
    CMonitorRunner runner;
    std::vector<std::shared_ptr<CNetworkMonitor>> monitors;
    for (std::size_t i = 0; i < CMonitorRunner::MaxRunningChecks * 5; ++i)
        monitors.push_back(MakeMonitor(&SlowFailingPing, 100));
    for (int round = 1; round <= 3; ++round)
    {
        for (auto& monitor : monitors)
            ASSERT_TRUE(runner.Start(monitor));
        runner.WaitForAll();
        for (auto& monitor : monitors)
            ASSERT_EQ(monitor->GetFailureCount(), round);
    }
}

TEST_F(MonitorRunnerTest, SetterOnTheUiThreadDuringACheckIsSafe)
{
    auto monitor = MakeMonitor(&GatedPing, 1);
    MonitorRecorder recorder;
    monitor->Attach(&recorder);
    CMonitorRunner runner;
    ASSERT_TRUE(runner.Start(monitor));
    ASSERT_TRUE(PingGate::Instance().WaitUntilEntered(1));

    // The operator edits the monitor while its ping is under way; the check counts with
    // the edited values.
    monitor->SetTarget("127.0.0.5");
    monitor->SetThreshold(2);
    monitor->SetRelayIndex(3);
    PingGate::Instance().Open();
    runner.WaitForAll();

    EXPECT_TRUE(recorder.Errors().empty());
    EXPECT_EQ(monitor->GetFailureCount(), 1);
    monitor->Detach(&recorder);
}
