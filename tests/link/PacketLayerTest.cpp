#include <gtest/gtest.h>

#include <chrono>

#include "LinkTestSupport.h"
#include "protocol/CommandCodes.h"
#include "protocol/SerialCommand.h"
#include "link/FrameCodec.h"
#include "link/QMNetLink.h"

namespace
{
struct FrameCase
{
    int code;
    int p1;
    int p2;
    const char* wire;
};

class FrameOnTheWire : public ::testing::TestWithParam<FrameCase>
{
};

TEST_P(FrameOnTheWire, IsSentByteForByte)
{
    CQMNetLink link;
    ScriptedPort port;
    CSerialCommand command = *Command(GetParam().code, GetParam().p1, GetParam().p2);
    EXPECT_EQ(link.SendCommand(port, command), LinkStatus::Ok);
    EXPECT_EQ(ToHexText(port.written), GetParam().wire);
    EXPECT_EQ(port.writes.size(), 1u) << "one write per frame";
}

INSTANTIATE_TEST_SUITE_P(PacketLayer, FrameOnTheWire, ::testing::Values(
    FrameCase{1, 0, 0, "0201000103"},
    FrameCase{2, 1, 0, "020201010203"},
    FrameCase{9, 3, 1, "02090203010903"},
    FrameCase{11, 0xAA, 0, "020B01AAA003"},
    FrameCase{13, 1, 0, "020D01010D03"},
    FrameCase{0x55, 0, 0, "0255005503"},
    FrameCase{0x80, 0, 0, "0280008003"},
    FrameCase{15, 7, 7, "020F000F03"}));   // parameters of a no-payload code stay off the wire

TEST(PacketLayer, CodeOutsideTheTableIsNotSent)
{
    CQMNetLink link;
    ScriptedPort port;
    for (int code : {0, 16, 84, 127, 129, 254})
    {
        CSerialCommand command = *Command(code, 1, 2);
        EXPECT_EQ(link.SendCommand(port, command), LinkStatus::NotSendable) << code;
    }
    EXPECT_TRUE(port.writes.empty());
}

TEST(PacketLayer, TransferStageOfAPlainCommandHasNoFileToSend)
{
    CQMNetLink link;
    ScriptedPort port;
    CSerialCommand command = *Command(255);
    EXPECT_EQ(link.SendCommand(port, command), LinkStatus::FirmwareFileNotOpened);
    EXPECT_TRUE(port.writes.empty());
}

TEST(PacketLayer, WriteFailureIsReturned)
{
    CQMNetLink link;
    ScriptedPort port;
    port.failWrites = 1;
    CSerialCommand command = *Command(1);
    EXPECT_EQ(link.SendCommand(port, command), LinkStatus::WriteFailed);
}

TEST(PacketLayer, ValidFrameIsReceivedAndRecorded)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("0204000403"));
    EXPECT_EQ(link.Receive(port, 3), LinkStatus::Ok);
    const auto record = link.MakeResponseRecord();
    EXPECT_EQ(record[0], 0x02);
    EXPECT_EQ(record[1], 0x04);
    EXPECT_EQ(record[2], 0x00);
    EXPECT_EQ(record[CQMNetLink::RecordChecksumOffset], 0x04);
    EXPECT_EQ(record[CQMNetLink::RecordEndOffset], 0x03);
}

TEST(PacketLayer, PayloadFrameIsRecordedAtOffsetThree)
{
    CQMNetLink link;
    ScriptedPort port;
    // code 8, three payload bytes; checksum 08^03^01^02^03 = 0B
    port.Feed(FromHexText("020803010203" "0B03"));
    ASSERT_EQ(link.Receive(port, 3), LinkStatus::Ok);
    const auto record = link.MakeResponseRecord();
    EXPECT_EQ(ToHexText(Bytes(record.begin(), record.begin() + 6)), "020803010203");
    EXPECT_EQ(record[6], 0x00) << "bytes after the payload are clean";
    EXPECT_EQ(record[59], 0x0B);
    EXPECT_EQ(record[60], 0x03);
}

TEST(PacketLayer, ChecksumMismatchEndsAtTheChecksumByte)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("0204000503"));
    EXPECT_EQ(link.Receive(port, 3), LinkStatus::InvalidFrame);
    EXPECT_EQ(port.Unread(), 1u) << "the end byte is left unread";
}

TEST(PacketLayer, WrongEndByteIsInvalid)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("0204000404"));
    EXPECT_EQ(link.Receive(port, 3), LinkStatus::InvalidFrame);
}

TEST(PacketLayer, ByteThatCannotStartAFrameEndsAtOnce)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("430204000403"));
    EXPECT_EQ(link.Receive(port, 3), LinkStatus::InvalidFrame);
    EXPECT_EQ(port.reads, 1);
}

TEST(PacketLayer, SingleAcknowledgeByteIsAGoodReceptionWithNothingStale)
{
    for (unsigned char single : {0x06, 0x15})
    {
        CQMNetLink link;
        ScriptedPort port;
        port.Feed(FromHexText("020803010203" "0B03"));
        ASSERT_EQ(link.Receive(port, 3), LinkStatus::Ok);
        port.Feed({single, 0x02});
        EXPECT_EQ(link.Receive(port, 3), LinkStatus::Ok);
        EXPECT_EQ(port.Unread(), 1u) << "reception ends with the single byte";
        const auto record = link.MakeResponseRecord();
        EXPECT_EQ(record[0], single);
        for (std::size_t i = 1; i < record.size(); ++i)
            ASSERT_EQ(record[i], 0) << "offset " << i << " must not come from the earlier frame";
    }
}

TEST(PacketLayer, SilenceAfterTheLengthByteGivesTimeoutAfterMaxFailedReads)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("020403"));
    EXPECT_EQ(link.Receive(port, 3), LinkStatus::Timeout);
    EXPECT_EQ(port.reads, 3 + 3);
}

TEST(PacketLayer, ReadFailureIsReportedAsSuch)
{
    CQMNetLink link;
    ScriptedPort port;
    port.readFailure = true;
    EXPECT_EQ(link.Receive(port, 2), LinkStatus::ReadFailed);
    EXPECT_EQ(port.reads, 2);
}

TEST(PacketLayer, LengthZeroGoesStraightToTheChecksum)
{
    CQMNetLink link;
    ScriptedPort port;
    port.Feed(FromHexText("0207000703"));
    EXPECT_EQ(link.Receive(port, 1), LinkStatus::Ok);
}

TEST(PacketLayer, PayloadLongerThanTheRecordIsCutToFiftySixBytes)
{
    CQMNetLink link;
    ScriptedPort port;
    Bytes frame = {0x02, 0x08, 255};
    unsigned char sum = 0x08 ^ 255;
    for (int i = 0; i < 255; ++i)
    {
        frame.push_back(static_cast<unsigned char>(i));
        sum ^= static_cast<unsigned char>(i);
    }
    frame.push_back(sum);
    frame.push_back(0x03);
    port.Feed(frame);
    ASSERT_EQ(link.Receive(port, 1), LinkStatus::Ok);
    const auto record = link.MakeResponseRecord();
    EXPECT_EQ(record[2], CQMNetLink::RecordPayloadBytes);
    EXPECT_EQ(record[3 + 55], 55);
    EXPECT_EQ(record[59], sum);
    EXPECT_EQ(record[60], 0x03);
}

TEST(PacketLayer, ProbeSendsRelayStatusAndReadsOnce)
{
    CQMNetLink link;
    ScriptedPort port;
    EXPECT_EQ(link.ProbeDevice(port), LinkStatus::Timeout);
    EXPECT_EQ(ToHexText(port.written), "0201000103");
    EXPECT_EQ(port.reads, 1);
    port.Feed(FromHexText("0201020100" "0203"));
    EXPECT_EQ(link.ProbeDevice(port), LinkStatus::Ok);
}

// ---- traces ----

class Traces : public ::testing::Test
{
protected:
    void SetUp() override
    {
        calls.AttachTo(link);
        link.SetPort(1, 19200);
    }
    CallbackLog calls;
    CQMNetLink link;
    ScriptedPort port;
};

TEST_F(Traces, LevelOneProducesNone)
{
    link.SetTraceLevel(1);
    CSerialCommand command = *Command(1);
    link.SendCommand(port, command);
    port.Feed(FromHexText("0204000403"));
    link.Receive(port, 3);
    EXPECT_TRUE(calls.Traces().empty());
}

TEST_F(Traces, LevelTwoNamesChecksumPurgeAndWait)
{
    link.SetTraceLevel(2);
    CSerialCommand command = *Command(1);
    link.SendCommand(port, command);
    EXPECT_EQ(calls.Traces(),
              (std::vector<std::string>{"Calculate Layer 2 checksum01", "Purging transmit buffer"}));
    calls.Reset();
    port.Feed(FromHexText("0204000403"));
    link.Receive(port, 3);
    EXPECT_EQ(calls.Traces(), (std::vector<std::string>{"Waiting for response..."}));
}

TEST_F(Traces, LevelThreeDumpsEveryByteBothWays)
{
    link.SetTraceLevel(3);
    CSerialCommand command = *Command(9, 3, 1);
    link.SendCommand(port, command);
    EXPECT_EQ(calls.Traces(),
              (std::vector<std::string>{"Building Layer 1 packet", "Calculate Layer 2 checksum09",
                                        "COM 1Transmitting: 02090203010903",
                                        "Purging transmit buffer"}));
    calls.Reset();
    port.Feed(FromHexText("0204000503"));
    link.Receive(port, 3);
    EXPECT_EQ(calls.Traces(),
              (std::vector<std::string>{"Waiting for response...", "COM 1 Receiving: 02040005"}));
}

TEST_F(Traces, ReceiveDumpIsEmittedOnSilenceToo)
{
    link.SetTraceLevel(3);
    link.SetPort(12, 19200);
    link.Receive(port, 1);
    EXPECT_EQ(calls.Traces(),
              (std::vector<std::string>{"Waiting for response...", "COM 12 Receiving: "}));
}

TEST_F(Traces, NoCallbackIsHarmless)
{
    link.SetTraceCallback(nullptr);
    link.SetTraceLevel(3);
    CSerialCommand command = *Command(1);
    EXPECT_EQ(link.SendCommand(port, command), LinkStatus::Ok);
}
}

// ---- the codec on its own ----
namespace
{
struct HungUpPort : ScriptedPort
{
    LinkStatus ReadByte(unsigned char*) override
    {
        ++reads;
        return answer;
    }
    LinkStatus answer = LinkStatus::LineHungUp;
};

TEST(FrameCodec, HangUpAndWakeEndTheReceptionWithoutRetries)
{
    CFrameCodec codec;
    for (LinkStatus status : {LinkStatus::LineHungUp, LinkStatus::Woken})
    {
        HungUpPort port;
        port.answer = status;
        EXPECT_EQ(codec.Receive(port, 3), status);
        EXPECT_EQ(port.reads, 1) << StatusNumber(status);
    }
}

TEST(FrameCodec, NothingIsReadOnceTheDeadlineHasPassed)
{
    CFrameCodec codec;
    ScriptedPort port;
    port.Feed(FromHexText("0202"));   // bytes waiting, but the command's time is up
    const auto passed = CFrameCodec::Clock::now() - std::chrono::milliseconds(1);
    EXPECT_EQ(codec.Receive(port, 3, &passed), LinkStatus::Timeout);
    EXPECT_EQ(port.reads, 0) << "nothing read past the deadline";
    EXPECT_EQ(port.Unread(), 2u);
}

TEST(FrameCodec, StateMachineEndsDoneOnEveryOutcome)
{
    CFrameCodec codec;
    for (const char* input : {"0204000403", "06", "0204000503", "41"})
    {
        ScriptedPort port;
        port.Feed(FromHexText(input));
        codec.Receive(port, 3);
        EXPECT_EQ(codec.GetReceiveState(), CFrameCodec::ReceiveState::Done) << input;
    }
    ScriptedPort cut;
    cut.Feed(FromHexText("020403"));
    EXPECT_EQ(codec.Receive(cut, 2), LinkStatus::Timeout);
    EXPECT_EQ(codec.GetReceiveState(), CFrameCodec::ReceiveState::InPayload) << "where the line went quiet";
}
}
