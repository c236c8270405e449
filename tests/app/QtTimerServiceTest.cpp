#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <climits>
#include <vector>

#include "tests/support/QtWait.h"
#include "ui/QtTimerService.h"

TEST(QtTimerService, FiresPeriodicallyWithItsIdUntilKilled)
{
    CQtTimerService timers;
    std::vector<ITimerService::TimerId> ticks;
    const auto id = timers.SetTimer(15, [&](ITimerService::TimerId tick) { ticks.push_back(tick); });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitUntil([&] { return ticks.size() >= 3; }));
    EXPECT_EQ(ticks.front(), id);

    EXPECT_TRUE(timers.KillTimer(id));
    const std::size_t afterKill = ticks.size();
    SpinEvents(60);
    EXPECT_EQ(ticks.size(), afterKill);
    EXPECT_FALSE(timers.KillTimer(id));
    EXPECT_EQ(timers.ActiveCount(), 0u);
}

TEST(QtTimerService, ACallbackMayKillItsOwnTimerAndSetANewOne)
{
    CQtTimerService timers;
    int firstTicks = 0;
    int secondTicks = 0;
    ITimerService::TimerId first = 0;
    ITimerService::TimerId second = 0;
    first = timers.SetTimer(10, [&](ITimerService::TimerId) {
        ++firstTicks;
        timers.KillTimer(first);
        second = timers.SetTimer(10, [&](ITimerService::TimerId) { ++secondTicks; });
    });
    ASSERT_TRUE(WaitUntil([&] { return secondTicks >= 2; }));
    EXPECT_EQ(firstTicks, 1);
    EXPECT_NE(second, first);
    EXPECT_EQ(timers.ActiveCount(), 1u);
}

TEST(QtTimerService, IdsAreNeverZeroAndNeverShared)
{
    CQtTimerService timers;
    std::vector<ITimerService::TimerId> ids;
    for (int i = 0; i < 5; ++i)
        ids.push_back(timers.SetTimer(60000, [](ITimerService::TimerId) {}));
    for (std::size_t i = 0; i < ids.size(); ++i)
    {
        EXPECT_NE(ids[i], 0u);
        for (std::size_t j = i + 1; j < ids.size(); ++j)
            EXPECT_NE(ids[i], ids[j]);
    }
    EXPECT_EQ(timers.SetTimer(10, nullptr), 0u);
}

TEST(QtTimerService, PeriodsOutsideWhatQTimerCanRunAreClamped)
{
    // A zero poll interval would spin the event loop; the product of a huge minute count
    // would turn negative in QTimer's int and never fire at all.
    EXPECT_EQ(CQtTimerService::ClampPeriod(0), static_cast<int>(CQtTimerService::MinimumPeriodMs));
    EXPECT_EQ(CQtTimerService::ClampPeriod(1800000), 1800000);
    EXPECT_EQ(CQtTimerService::ClampPeriod(0xFFFFFFFFu), INT_MAX);

    CQtTimerService timers;
    const auto id = timers.SetTimer(0xFFFFFFFFu, [](ITimerService::TimerId) {});
    EXPECT_EQ(timers.IntervalOf(id), INT_MAX);
}
