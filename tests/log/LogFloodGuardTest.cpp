#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/LogFloodGuard.h"

namespace
{
using namespace std::chrono_literals;
using Clock = CLogFloodGuard::Clock;

struct KindCase
{
    int level;
    const char* text;
    const char* kind;
};

class FloodKind : public ::testing::TestWithParam<KindCase> {};

// Feeds `count` lines one `step` apart from `start`; returns how many were admitted and
// collects every summary.
int Feed(CLogFloodGuard& guard, int count, Clock::time_point& now, Clock::duration step,
         std::vector<CLogFloodGuard::Line>& summaries, const std::string& text = "Relay 1 state changed to active by unit")
{
    int admitted = 0;
    for (int i = 0; i < count; ++i)
    {
        admitted += guard.Admit(LogEntryLevel::Event, text, now, summaries) ? 1 : 0;
        now += step;
    }
    return admitted;
}
}

TEST_P(FloodKind, OnlyWhatTheUnitRepeatsIsLimited)
{
    EXPECT_EQ(CLogFloodGuard::KindOf(GetParam().level, GetParam().text), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FloodKind,
    ::testing::Values(KindCase{LogEntryLevel::Event, "Relay 3 state changed to inactive by button", "Relay state changed"},
                      KindCase{LogEntryLevel::Event, "Relay 1 state changed to active by web", "Relay state changed"},
                      KindCase{LogEntryLevel::Event, "Device cover was opened", "Device cover was"},
                      KindCase{LogEntryLevel::Error, "Error for Relay Status command Timeout", "Error for Relay Status command"},
                      KindCase{LogEntryLevel::Error, "Error for GPS command Invalid frame", "Error for GPS command"},
                      KindCase{LogEntryLevel::Event, "Relay 3 (Digital Display) switched off by remote operator over MQTT",
                               "by remote operator over MQTT"},
                      KindCase{LogEntryLevel::Error, "Remote command refused: relay 1 may not be power-cycled (permission On/Off)",
                               "Remote command refused"},
                      // Never limited: start and end, operator commands, monitors, traces.
                      KindCase{LogEntryLevel::Event, "Application Started", ""},
                      KindCase{LogEntryLevel::Event, "Relay 1 power cycle requested by operator", ""},
                      KindCase{LogEntryLevel::Error, "Network monitor unable to communicate with 127.0.0.1 ", ""},
                      KindCase{LogEntryLevel::Debug, "Device cover was opened", ""}));

TEST(LogFloodGuard, TwentyLinesPassThenOneSummaryPerTenSecondsUntilTheFloodEnds)
{
    CLogFloodGuard guard;
    std::vector<CLogFloodGuard::Line> summaries;
    Clock::time_point now{};
    // 20 lines a second for 25 s.
    EXPECT_EQ(Feed(guard, 500, now, 50ms, summaries), 20);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].level, LogEntryLevel::Event);
    // The 21st line (at 1.0 s) starts the first period, which sums up until 11.0 s.
    EXPECT_EQ(summaries[0].text, "200 more \"Relay state changed\" lines were not logged");
    EXPECT_EQ(summaries[1].text, "200 more \"Relay state changed\" lines were not logged");

    // Other lines go through meanwhile and bring the summary that came due.
    summaries.clear();
    now += 10s;
    EXPECT_TRUE(guard.Admit(LogEntryLevel::Event, "Application terminated", now, summaries));
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].text, "80 more \"Relay state changed\" lines were not logged");

    // Quiet for a whole period: the kind starts afresh.
    summaries.clear();
    now += 11s;
    EXPECT_EQ(Feed(guard, 20, now, 10ms, summaries), 20);
    EXPECT_TRUE(summaries.empty());
}

TEST(LogFloodGuard, NormalPaceNeverMeetsTheLimitAndKindsCountApart)
{
    CLogFloodGuard guard;
    std::vector<CLogFloodGuard::Line> summaries;
    Clock::time_point now{};
    // Two lines a second for ten minutes: twenty within any ten seconds, never more.
    EXPECT_EQ(Feed(guard, 1200, now, 500ms, summaries), 1200);
    // After a pause, twenty of each of three kinds at once.
    now += 10s;
    EXPECT_EQ(Feed(guard, 20, now, 1ms, summaries, "Relay 2 state changed to active by web"), 20);
    EXPECT_EQ(Feed(guard, 20, now, 1ms, summaries, "Device cover was opened"), 20);
    int errors = 0;
    for (int i = 0; i < 20; ++i)
        errors += guard.Admit(LogEntryLevel::Error, "Error for GPS command Timeout", now, summaries) ? 1 : 0;
    EXPECT_EQ(errors, 20);
    EXPECT_TRUE(summaries.empty());

    // A held-back count is written at the end even when no period has finished.
    EXPECT_FALSE(guard.Admit(LogEntryLevel::Event, "Device cover was closed", now, summaries));
    guard.Flush(summaries);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].text, "1 more \"Device cover was\" lines were not logged");
}
