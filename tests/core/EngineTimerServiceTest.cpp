#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/EngineTimerService.h"
#include "core/TimerQueue.h"

using Clock = std::chrono::steady_clock;

TEST(TimerQueue, ALateTimerFiresOnceAndKeepsItsPeriodFromNow)
{
    CTimerQueue queue;
    std::vector<std::uint64_t> fired;
    std::uint64_t now = 0;
    const auto id = queue.Add(100, [&](ITimerService::TimerId) { fired.push_back(now); }, now);
    const auto other = queue.Add(0, [&](ITimerService::TimerId) {}, now);
    EXPECT_EQ(queue.PeriodOf(other), CTimerQueue::MinimumPeriodMs);
    queue.Remove(other);

    // A machine that slept through ten ticks does not fire ten polls at once on waking.
    now = 1050;
    queue.RunDue(now);
    EXPECT_EQ(fired, (std::vector<std::uint64_t>{1050}));
    EXPECT_EQ(queue.NextDue(), 1150u);
    now = 1150;
    queue.RunDue(now);
    EXPECT_EQ(fired.size(), 2u);
    EXPECT_TRUE(queue.Remove(id));
    EXPECT_FALSE(queue.NextDue().has_value());
    EXPECT_EQ(queue.Add(10, nullptr, now), 0u);
}

TEST(EngineTimerService, APostOrAReadableDescriptorWakesTheWaitAtOnce)
{
    CEngineTimerService timers;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::vector<int> order;
    timers.Watch(pipeFds[0], [&] {
        char byte = 0;
        ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1);
        order.push_back(byte);
        if (order.size() == 3)
            timers.Quit();
    });
    // An hour's timer is the only one: without the wake-ups the loop would sleep an hour.
    timers.SetTimer(3'600'000, [](ITimerService::TimerId) { FAIL(); });
    std::thread poster([&] {
        timers.Post([&] { order.push_back(1); });
        timers.Post([&] { order.push_back(2); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const char byte = 3;
        ASSERT_EQ(::write(pipeFds[1], &byte, 1), 1);
    });
    const auto started = Clock::now();
    timers.Run();
    poster.join();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}
