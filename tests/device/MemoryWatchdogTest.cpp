#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "ManagerFixture.h"

namespace
{
constexpr std::uint64_t kDefaultLimit = 26'214'400;

struct WatchdogCase
{
    bool enabled;
    std::optional<std::uint64_t> used;
    int expectedRestarts;
};

class MemoryWatchdog : public ::testing::TestWithParam<WatchdogCase> {};
}

TEST_P(MemoryWatchdog, RestartsOnlyWhenEnabledAndAboveTheLimit)
{
    const WatchdogCase c = GetParam();
    ManagerFixture f;
    if (!c.enabled)
    {
        ASSERT_TRUE(f.settings.LoadFromText("<Settings><EnableMemoryCheck>0</EnableMemoryCheck></Settings>"));
    }
    f.manager.SetMemoryReader([&] { return c.used; });
    f.manager.Poll();
    EXPECT_EQ(f.restart.requests, c.expectedRestarts);
    // The poll's commands are queued whether or not a restart was asked for.
    EXPECT_EQ(f.link.GetQueueLength(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Limits, MemoryWatchdog,
                         ::testing::Values(WatchdogCase{true, kDefaultLimit, 0},
                                           WatchdogCase{true, kDefaultLimit + 1, 1},
                                           WatchdogCase{true, std::uint64_t{1} << 40, 1},
                                           WatchdogCase{false, std::uint64_t{1} << 40, 0},
                                           WatchdogCase{true, std::nullopt, 0}));

TEST(MemoryWatchdogLimit, FollowsTheLimitInTheSettingsFile)
{
    ManagerFixture f;
    ASSERT_TRUE(f.settings.LoadFromText("<Settings><MaxMemorySizeInBytes>1000</MaxMemorySizeInBytes></Settings>"));
    f.manager.SetMemoryReader([] { return std::optional<std::uint64_t>(1001); });
    f.manager.CheckMemory();
    EXPECT_EQ(f.restart.requests, 1);
}
