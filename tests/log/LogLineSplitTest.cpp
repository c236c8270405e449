#include <gtest/gtest.h>

#include "log/LogLineSplit.h"

namespace
{
struct SplitCase
{
    std::string line;
    LogLineFields expected;
};

class LogLineSplit : public ::testing::TestWithParam<SplitCase> {};
}

TEST_P(LogLineSplit, GivesTheColumnsThePageShows)
{
    const LogLineFields fields = SplitLogLine(GetParam().line);
    EXPECT_EQ(fields.DateTime, GetParam().expected.DateTime);
    EXPECT_EQ(fields.Level, GetParam().expected.Level);
    EXPECT_EQ(fields.Description, GetParam().expected.Description);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LogLineSplit,
    ::testing::Values(
        SplitCase{"12/08/25 10:42:00,Event,Application Started\n",
                  {"12/08/25 10:42:00", "Event", "Application Started"}},
        SplitCase{"12/08/25 10:42:00,Error,x\r\n", {"12/08/25 10:42:00", "Error", "x"}},
        // A description with a comma shows only up to it.
        SplitCase{"d,Event,a,b", {"d", "Event", "a"}},
        // Empty fields are skipped, so later fields move left.
        SplitCase{",,d,,Event,,,x,,", {"d", "Event", "x"}},
        SplitCase{"d,Event,\n", {"d", "Event", ""}},
        SplitCase{"only one field", {"only one field", "", ""}},
        SplitCase{"", {"", "", ""}},
        SplitCase{"\r\n", {"", "", ""}},
        SplitCase{",,,", {"", "", ""}},
        // A CR that is not part of the line break stays in the text.
        SplitCase{"d,Debug,a\rb\n", {"d", "Debug", "a\rb"}},
        SplitCase{"d,Event,Relais \"Zähler ✓\"", {"d", "Event", "Relais \"Zähler ✓\""}}));
