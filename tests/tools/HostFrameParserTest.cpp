#include <gtest/gtest.h>

#include "HostFrameParser.h"

namespace
{
using wire::Bytes;
using Verdict = CHostFrameParser::Verdict;

std::vector<CHostFrameParser::Unit> FeedAll(CHostFrameParser& parser, const Bytes& bytes, std::uint64_t now = 0)
{
    std::vector<CHostFrameParser::Unit> units;
    for (std::uint8_t b : bytes)
        if (auto unit = parser.Feed(b, now))
            units.push_back(*unit);
    return units;
}

TEST(HostFrameParser, ReadsFramesOfEveryLengthTheHostSends)
{
    CHostFrameParser parser;
    const auto units = FeedAll(parser, {0x02, 0x01, 0x00, 0x01, 0x03, 0x02, 0x02, 0x01, 0x01, 0x02, 0x03, 0x02,
                                        0x09, 0x02, 0x03, 0x01, 0x09, 0x03});
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].verdict, Verdict::Good);
    EXPECT_EQ(units[0].code, 1);
    EXPECT_TRUE(units[0].payload.empty());
    EXPECT_EQ(units[1].payload, Bytes{0x01});
    EXPECT_EQ(units[2].code, 9);
    EXPECT_EQ(units[2].payload, (Bytes{0x03, 0x01}));
    EXPECT_EQ(units[2].bytes, (Bytes{0x02, 0x09, 0x02, 0x03, 0x01, 0x09, 0x03}));
    EXPECT_FALSE(parser.Deadline().has_value());
}

TEST(HostFrameParser, ReadsACorruptFrameToItsEndSoItsTailIsNotTakenForANewFrame)
{
    CHostFrameParser parser;
    // The bad checksum byte is 0x02; were the reading to stop there, it would start a frame.
    auto units = FeedAll(parser, {0x02, 0x01, 0x00, 0x02, 0x03, 0x02, 0x04, 0x00, 0x04, 0x03});
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].verdict, Verdict::BadChecksum);
    EXPECT_EQ(units[0].bytes.size(), 5u);
    EXPECT_EQ(units[1].verdict, Verdict::Good);
    EXPECT_EQ(units[1].code, 4);

    units = FeedAll(parser, {0x02, 0x04, 0x00, 0x04, 0x04});
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].verdict, Verdict::BadEnd);
}

TEST(HostFrameParser, ReportsNoiseBeforeTheFrameThatFollowsIt)
{
    CHostFrameParser parser;
    const auto units = FeedAll(parser, {0x43, 0x15, 0x02, 0x0A, 0x00, 0x0A, 0x03});
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].verdict, Verdict::Noise);
    EXPECT_EQ(units[0].bytes, (Bytes{0x43, 0x15}));
    EXPECT_EQ(units[1].verdict, Verdict::Good);
    EXPECT_EQ(units[1].code, 10);
}

TEST(HostFrameParser, GivesUpAFrameLeftUnfinishedForTheGapTime)
{
    CHostFrameParser parser(500);
    EXPECT_TRUE(FeedAll(parser, {0x02, 0x01, 0x00}, 1000).empty());
    EXPECT_EQ(parser.Deadline(), std::optional<std::uint64_t>(1500));
    EXPECT_FALSE(parser.Expire(1499).has_value());
    const auto unit = parser.Expire(1500);
    ASSERT_TRUE(unit.has_value());
    EXPECT_EQ(unit->verdict, Verdict::Incomplete);
    EXPECT_EQ(unit->bytes, (Bytes{0x02, 0x01, 0x00}));
    // The line is in step again: the next frame reads normally.
    const auto next = FeedAll(parser, {0x02, 0x01, 0x00, 0x01, 0x03}, 2000);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].verdict, Verdict::Good);
}

TEST(HostFrameParser, ALateByteAfterAStalledFrameStartsAfresh)
{
    CHostFrameParser parser(500);
    FeedAll(parser, {0x02, 0x06}, 0);
    const auto units = FeedAll(parser, {0x02, 0x06, 0x00, 0x06, 0x03}, 800);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].verdict, Verdict::Incomplete);
    EXPECT_EQ(units[1].verdict, Verdict::Good);
    EXPECT_EQ(units[1].code, 6);
}

TEST(HostFrameParser, TakesTheLongestPayload)
{
    CHostFrameParser parser;
    Bytes frame{0x02, 0x30, 0xFF};
    std::uint8_t sum = 0x30 ^ 0xFF;
    for (int i = 0; i < 255; ++i)
    {
        frame.push_back(static_cast<std::uint8_t>(i));
        sum ^= static_cast<std::uint8_t>(i);
    }
    frame.push_back(sum);
    frame.push_back(0x03);
    const auto units = FeedAll(parser, frame);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].verdict, Verdict::Good);
    EXPECT_EQ(units[0].payload.size(), 255u);
}

TEST(HostFrameParser, EndlessNoiseComesOutInBoundedPieces)
{
    CHostFrameParser parser;
    const auto units = FeedAll(parser, Bytes(600, 0x55));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes.size(), 256u);
    EXPECT_EQ(units[1].verdict, Verdict::Noise);
}
}  // namespace
