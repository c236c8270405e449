#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/ProcessMemory.h"

TEST(ProcessMemory, GrowsWhenThisProcessTouchesNewHeapPages)
{
    const auto before = GetPrivateMemoryBytes();
    ASSERT_TRUE(before.has_value());
    constexpr std::size_t size = 64u << 20;
    std::unique_ptr<char[]> block(new char[size]);
    std::memset(block.get(), 1, size);
    const auto after = GetPrivateMemoryBytes();
    ASSERT_TRUE(after.has_value());
    EXPECT_GT(*after, *before + size / 2);
    EXPECT_EQ(block[size - 1], 1);
}

TEST(ProcessRunTime, CountsFromWhenTheProgramWasLoaded)
{
    const auto first = GetProcessRunTime();
    EXPECT_GT(first, std::chrono::steady_clock::duration::zero());
    // A test program is loaded well under a minute before its first case runs.
    EXPECT_LT(first, std::chrono::minutes(1));
    EXPECT_GE(GetProcessRunTime(), first);
}
