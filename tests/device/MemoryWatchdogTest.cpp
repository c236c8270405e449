#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "ManagerFixture.h"

namespace
{
constexpr std::uint64_t kDefaultLimit = 26'214'400;
constexpr auto kLongRun = std::chrono::minutes(5);

std::size_t CountRestartLines(const ManagerFixture& f)
{
    const auto lines = f.LogLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("Event,Restarting: ", 0) == 0;
    }));
}

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
    f.manager.SetRunTimeReader([] { return kLongRun; });
    f.manager.Poll();
    EXPECT_EQ(f.restart.requests, c.expectedRestarts);
    EXPECT_EQ(CountRestartLines(f), static_cast<std::size_t>(c.expectedRestarts));
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
    f.manager.SetRunTimeReader([] { return kLongRun; });
    f.manager.CheckMemory();
    EXPECT_EQ(f.restart.requests, 1);
}

TEST(MemoryWatchdogAge, AProcessYoungerThanAMinuteIsNeverRestartedAndTheRestartSaysWhy)
{
    ManagerFixture f;
    ASSERT_TRUE(f.settings.LoadFromText("<Settings><MaxMemorySizeInBytes>1000000</MaxMemorySizeInBytes></Settings>"));
    f.manager.SetMemoryReader([] { return std::optional<std::uint64_t>(3'800'000); });
    auto age = std::chrono::steady_clock::duration(std::chrono::seconds(59));
    f.manager.SetRunTimeReader([&] { return age; });
    f.manager.CheckMemory();
    EXPECT_EQ(f.restart.requests, 0);
    EXPECT_EQ(CountRestartLines(f), 0u);

    age = std::chrono::minutes(1);
    f.manager.CheckMemory();
    EXPECT_EQ(f.restart.requests, 1);
    const auto lines = f.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Event,Restarting: private memory 3.8 MB is above the limit of 1.0 MB"),
              lines.end());
}
