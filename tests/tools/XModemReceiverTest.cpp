#include <gtest/gtest.h>

#include <numeric>

#include "XModemReceiver.h"

namespace
{
using wire::Bytes;

Bytes Block(std::uint8_t number, const Bytes& data)
{
    Bytes block{0x01, number, static_cast<std::uint8_t>(255 - number)};
    Bytes padded = data;
    padded.resize(128, 0x1A);
    block.insert(block.end(), padded.begin(), padded.end());
    block.push_back(std::accumulate(padded.begin(), padded.end(), std::uint8_t{0},
                                    [](std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a + b); }));
    return block;
}

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 7);
    return data;
}

// Feeds bytes; returns the replies in order (each action's reply bytes joined).
Bytes Feed(CXModemReceiver& rx, const Bytes& bytes, std::uint64_t now = 0)
{
    Bytes replies;
    for (std::uint8_t b : bytes)
        if (auto action = rx.Feed(b, now))
            replies.insert(replies.end(), action->reply.begin(), action->reply.end());
    return replies;
}

TEST(XModemReceiver, AsksWithNakAndStoresEveryBlockWithItsPadding)
{
    CXModemReceiver rx;
    EXPECT_EQ(rx.Start(0), Bytes{0x15});
    const Bytes file = Pattern(200, 3);
    EXPECT_EQ(Feed(rx, Block(1, Bytes(file.begin(), file.begin() + 128))), Bytes{0x06});
    EXPECT_EQ(Feed(rx, Block(2, Bytes(file.begin() + 128, file.end()))), Bytes{0x06});
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Receiving);
    EXPECT_EQ(Feed(rx, {0x04}), Bytes{0x06});
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Done);
    Bytes expected = file;
    expected.resize(256, 0x1A);
    EXPECT_EQ(rx.Data(), expected);
    EXPECT_EQ(rx.BlocksAccepted(), 2);
}

TEST(XModemReceiver, RefusesDamagedBlocksAndTakesTheResentCopy)
{
    CXModemReceiver rx;
    rx.Start(0);
    Bytes bad = Block(1, Pattern(128, 1));
    bad[50] ^= 0x01;   // the sum no longer matches
    EXPECT_EQ(Feed(rx, bad), Bytes{0x15});
    Bytes badHeader = Block(1, Pattern(128, 1));
    badHeader[2] = 0x00;
    EXPECT_EQ(Feed(rx, badHeader), Bytes{0x15});
    EXPECT_EQ(Feed(rx, Block(1, Pattern(128, 1))), Bytes{0x06});
    EXPECT_EQ(rx.Data(), Pattern(128, 1));
}

TEST(XModemReceiver, AcknowledgesARepeatedBlockWithoutStoringItTwice)
{
    CXModemReceiver rx;
    rx.Start(0);
    Feed(rx, Block(1, Pattern(128, 1)));
    EXPECT_EQ(Feed(rx, Block(1, Pattern(128, 1))), Bytes{0x06});
    EXPECT_EQ(rx.Data().size(), 128u);
    EXPECT_EQ(Feed(rx, Block(3, Pattern(128, 3))), Bytes{0x15});   // block 2 is missing
    EXPECT_EQ(rx.Data().size(), 128u);
}

TEST(XModemReceiver, BlockNumbersWrapFrom255ToZero)
{
    CXModemReceiver rx;
    rx.Start(0);
    for (int n = 1; n <= 257; ++n)
        ASSERT_EQ(Feed(rx, Block(static_cast<std::uint8_t>(n), Pattern(128, static_cast<std::uint8_t>(n)))),
                  Bytes{0x06})
            << "block " << n;
    EXPECT_EQ(rx.BlocksAccepted(), 257);
    // Block 256 travelled as number 0 and block 257 as number 1; both are kept in order.
    EXPECT_EQ(Bytes(rx.Data().begin() + 255 * 128, rx.Data().begin() + 256 * 128), Pattern(128, 0));
    EXPECT_EQ(Bytes(rx.Data().begin() + 256 * 128, rx.Data().end()), Pattern(128, 1));
}

TEST(XModemReceiver, RefusesAsManyGoodBlocksAsItIsToldWithoutGivingUp)
{
    CXModemReceiver::Timing timing;
    timing.maxErrors = 2;
    CXModemReceiver rx(timing);
    rx.Start(0);
    rx.RefuseNext(3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Feed(rx, Block(1, Pattern(128, 1))), Bytes{0x15});
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Receiving);
    EXPECT_EQ(Feed(rx, Block(1, Pattern(128, 1))), Bytes{0x06});
    EXPECT_EQ(rx.RefusalsLeft(), 0);
}

TEST(XModemReceiver, RepeatsTheStartSignalThenGivesUp)
{
    CXModemReceiver::Timing timing;
    timing.nakIntervalMs = 100;
    timing.maxErrors = 3;
    CXModemReceiver rx(timing);
    rx.Start(0);
    EXPECT_FALSE(rx.Expire(99).has_value());
    auto action = rx.Expire(100);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->reply, Bytes{0x15});
    EXPECT_EQ(rx.Deadline(), std::optional<std::uint64_t>(200));
    rx.Expire(200);
    action = rx.Expire(300);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->reply, (Bytes{0x18, 0x18}));
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Aborted);
    EXPECT_FALSE(rx.Deadline().has_value());
}

TEST(XModemReceiver, AStalledBlockIsRefusedAfterTheGap)
{
    CXModemReceiver::Timing timing;
    timing.gapMs = 1000;
    CXModemReceiver rx(timing);
    rx.Start(0);
    const Bytes block = Block(1, Pattern(128, 1));
    EXPECT_TRUE(Feed(rx, Bytes(block.begin(), block.begin() + 60), 500).empty());
    EXPECT_FALSE(rx.Expire(1499).has_value());
    const auto action = rx.Expire(1500);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->reply, Bytes{0x15});
    EXPECT_EQ(action->received.size(), 60u);
    EXPECT_EQ(Feed(rx, block, 1600), Bytes{0x06});
}

TEST(XModemReceiver, WaitsForQuietAfterNoiseBeforeAskingAgain)
{
    CXModemReceiver::Timing timing;
    timing.gapMs = 200;
    CXModemReceiver rx(timing);
    rx.Start(0);
    EXPECT_TRUE(Feed(rx, {0x02, 0x01, 0x00, 0x01, 0x03}, 10).empty());
    const auto action = rx.Expire(210);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->note, "!noise");
    EXPECT_EQ(action->reply, Bytes{0x15});
}

TEST(XModemReceiver, AnEmptyFileIsJustTheEndOfTransmission)
{
    CXModemReceiver rx;
    rx.Start(0);
    EXPECT_EQ(Feed(rx, {0x04}), Bytes{0x06});
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Done);
    EXPECT_TRUE(rx.Data().empty());
}

TEST(XModemReceiver, CutsOffAnUploadLargerThanItsLimit)
{
    CXModemReceiver::Timing timing;
    timing.maxBytes = 256;
    CXModemReceiver rx(timing);
    rx.Start(0);
    Feed(rx, Block(1, Pattern(128, 1)));
    Feed(rx, Block(2, Pattern(128, 2)));
    EXPECT_EQ(Feed(rx, Block(3, Pattern(128, 3))), (Bytes{0x18, 0x18}));
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Aborted);
}
}  // namespace

namespace
{
TEST(XModemReceiver, TwoCancelsInARowEndTheUploadButOneIsNoise)
{
    CXModemReceiver rx;
    rx.Start(0);
    EXPECT_EQ(Feed(rx, Block(1, Pattern(128, 1))), Bytes{0x06});
    EXPECT_TRUE(Feed(rx, {0x18}).empty());
    EXPECT_EQ(rx.GetState(), CXModemReceiver::State::Receiving) << "a single CAN may be line noise";

    CXModemReceiver cancelled;
    cancelled.Start(0);
    EXPECT_EQ(Feed(cancelled, Block(1, Pattern(128, 1))), Bytes{0x06});
    EXPECT_TRUE(Feed(cancelled, {0x18, 0x18}).empty());
    EXPECT_EQ(cancelled.GetState(), CXModemReceiver::State::Aborted);
}
}
