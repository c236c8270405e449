#include <gtest/gtest.h>

#include "LinkTestSupport.h"
#include "device/CommandCodes.h"
#include "device/SerialCommand.h"
#include "link/QMNetLink.h"
#include "tests/support/TempDataFolder.h"

namespace
{
constexpr int kCom = 9;

std::unique_ptr<CSerialCommand> Command(int code, int p1 = 0, int p2 = 0)
{
    auto command = std::make_unique<CSerialCommand>();
    command->Code = static_cast<std::uint8_t>(code);
    command->Param1 = static_cast<std::uint8_t>(p1);
    command->Param2 = static_cast<std::uint8_t>(p2);
    return command;
}

Bytes Frame(int code, const Bytes& payload)
{
    Bytes frame = {0x02, static_cast<unsigned char>(code), static_cast<unsigned char>(payload.size())};
    unsigned char sum = static_cast<unsigned char>(code);
    if (!payload.empty())
        sum ^= static_cast<unsigned char>(payload.size());
    for (unsigned char b : payload)
    {
        frame.push_back(b);
        sum ^= b;
    }
    frame.push_back(sum);
    frame.push_back(0x03);
    return frame;
}

class LinkWorker : public ::testing::Test
{
protected:
    void SetUp() override
    {
        peer = std::make_unique<PtyPeer>(kCom);
        link = std::make_unique<CQMNetLink>();
        calls.AttachTo(*link);
        link->SetPort(kCom, 19200);
        link->SetTiming(2, 5, 150);
    }
    void TearDown() override
    {
        link.reset();   // stops and joins
        peer.reset();
    }
    std::vector<ResponseEvent> Responses() { return calls.Responses(); }

    TempDataFolder folder;
    CallbackLog calls;
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<CQMNetLink> link;
};

TEST_F(LinkWorker, CommandQueuedLastIsSentFirst)
{
    link->QueueCommand(Command(CommandCode::Gps));
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0204000403");
    peer->Write(Frame(4, {0, 0, 1, 0}));
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0207000703");
    peer->Write(Frame(7, Bytes(24, 0x30)));
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    const auto responses = Responses();
    EXPECT_EQ(responses[0].code, 4);
    EXPECT_EQ(responses[0].commandCode, 4);
    EXPECT_EQ(responses[1].code, 7);
    EXPECT_EQ(responses[1].commandCode, 7);
    EXPECT_EQ(link->GetQueueLength(), 0u);
}

TEST_F(LinkWorker, AnswerCarriesItsPayloadAndEndsTheCommand)
{
    link->QueueCommand(Command(CommandCode::RelayStatus));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(ToHexText(peer->Read(5, 2000)), "0201000103");
    peer->Write(Frame(1, {1, 0, 1, 1}));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    // Nothing else: the command is done and no failure follows for it.
    EXPECT_FALSE(calls.WaitForResponses(2, 800));
    const auto r = Responses().at(0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.hasPayload);
    EXPECT_EQ(ToHexText(Bytes(r.payload.begin(), r.payload.begin() + 4)), "01000101");
}

TEST_F(LinkWorker, UnsolicitedFrameDuringAWaitIsReportedWithTheWaitingCommand)
{
    link->QueueCommand(Command(CommandCode::Rssi));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write(Frame(2, {3, 0, 1}));
    peer->Write(Frame(10, {21}));
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    const auto responses = Responses();
    EXPECT_EQ(responses[0].code, 2);
    EXPECT_EQ(responses[0].commandCode, 10);
    EXPECT_EQ(ToHexText(Bytes(responses[0].payload.begin(), responses[0].payload.begin() + 3)), "030001");
    EXPECT_EQ(responses[1].code, 10);
    EXPECT_EQ(responses[1].commandCode, 10);
    EXPECT_EQ(responses[1].payload.at(0), 21);
}

TEST_F(LinkWorker, UnsolicitedFrameWhileIdleComesWithNoCommand)
{
    ASSERT_TRUE(link->Start());
    ::usleep(100 * 1000);   // the port is open and raw: a cooked line would eat the 0x03
    peer->Write(Frame(13, {1}));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_EQ(Responses()[0].code, 13);
    EXPECT_EQ(Responses()[0].commandCode, -1);
    EXPECT_TRUE(Responses()[0].hasPayload);
}

TEST_F(LinkWorker, ResetAnswerHasNoPayload)
{
    link->QueueCommand(Command(CommandCode::Reset, CommandCode::ResetMagic));
    ASSERT_TRUE(link->Start());
    EXPECT_EQ(ToHexText(peer->Read(6, 2000)), "020B01AAA003");
    peer->Write(Frame(11, {0xAA}));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_EQ(Responses()[0].status, 0);
    EXPECT_EQ(Responses()[0].code, 11);
    EXPECT_FALSE(Responses()[0].hasPayload);
}

TEST_F(LinkWorker, ShortGpsAnswerMarksByteNineteen)
{
    link->QueueCommand(Command(CommandCode::Gps));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write(Frame(7, Bytes(12, 0x41)));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    const auto r = Responses()[0];
    ASSERT_TRUE(r.hasPayload);
    EXPECT_EQ(r.payload[11], 0x41);
    EXPECT_EQ(r.payload[19], 0xFF);
}

TEST_F(LinkWorker, FullGpsAnswerKeepsByteNineteen)
{
    link->QueueCommand(Command(CommandCode::Gps));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write(Frame(7, Bytes(20, 0x42)));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_EQ(Responses()[0].payload[19], 0x42);
}

TEST_F(LinkWorker, SilenceIsReportedOnceAfterEveryRetryAndThePortIsReopened)
{
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ToHexText(peer->Read(5, 2000)), "0204000403");
    ASSERT_TRUE(calls.WaitForResponses(1, 5000));
    // Retry count 2: three receives of two 150 ms reads each, and nothing sent again.
    EXPECT_GE(ElapsedMs(start), 3 * 2 * 150 - 50);
    const auto r = Responses()[0];
    EXPECT_EQ(r.status, Status::Timeout);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.commandCode, 4);
    EXPECT_FALSE(r.hasPayload);

    // The failed exchange closed the port; the next command gets a freshly opened one.
    link->QueueCommand(Command(CommandCode::Rssi));
    EXPECT_EQ(ToHexText(peer->Read(5, 3000)), "020A000A03");
    peer->Write(Frame(10, {9}));
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    EXPECT_EQ(Responses()[1].status, 0);
}

TEST_F(LinkWorker, GarbageIsReportedAsInvalidAfterTheRetries)
{
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write({0x43, 0x43, 0x43});
    ASSERT_TRUE(calls.WaitForResponses(1, 3000));
    EXPECT_EQ(Responses()[0].status, Status::InvalidFrame);
    EXPECT_EQ(Responses()[0].code, 4);
}

TEST_F(LinkWorker, SingleAcknowledgeAnswersTheWaitingCommand)
{
    // A frame with another code first, so a stale code would show.
    link->QueueCommand(Command(CommandCode::RelayToggle, 2, 1));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(ToHexText(peer->Read(7, 2000)), "02090202010803");
    peer->Write(Frame(8, {1, 2, 3}));
    peer->Write({0x06});
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    const auto r = Responses()[1];
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.code, 9);
    EXPECT_EQ(r.commandCode, 9);
    EXPECT_FALSE(r.hasPayload) << "an acknowledge carries no data";
}

TEST_F(LinkWorker, SingleNegativeAcknowledgeIsAFailureOfTheWaitingCommand)
{
    link->QueueCommand(Command(CommandCode::RelayTestCycle, 3));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(6, 2000).size(), 6u);
    peer->Write({0x15});
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_EQ(Responses()[0].status, Status::NotAcknowledged);
    EXPECT_EQ(Responses()[0].code, 5);
    EXPECT_EQ(Responses()[0].commandCode, 5);
}

TEST_F(LinkWorker, StopWhileIdleEndsPromptlyWithoutCallbacks)
{
    link->SetTiming(3, 5, 2000);   // an idle listen would last six seconds
    ASSERT_TRUE(link->Start());
    ::usleep(200 * 1000);
    const auto start = std::chrono::steady_clock::now();
    link->QueueCommand(Command(CommandCode::Uptime));
    link->QueueCommand(Command(CommandCode::Rssi));
    link->RequestStop(true);
    ASSERT_TRUE(calls.WaitForThreadExit(3000));
    EXPECT_LT(ElapsedMs(start), 1000);
    link->WaitForStop();
    EXPECT_FALSE(link->IsRunning());
    EXPECT_EQ(link->GetQueueLength(), 0u);
    EXPECT_TRUE(Responses().empty());
    EXPECT_EQ(calls.ThreadExits(), 1);
    EXPECT_TRUE(peer->Read(1, 100).empty()) << "nothing sent";
}

TEST_F(LinkWorker, StopWaitsForTheRunningExchange)
{
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    link->RequestStop(true);
    ::usleep(100 * 1000);
    peer->Write(Frame(4, {0, 0, 0, 5}));
    link->WaitForStop();
    ASSERT_EQ(Responses().size(), 1u) << "the answer under way was still delivered";
    EXPECT_EQ(Responses()[0].status, 0);
    EXPECT_EQ(calls.ThreadExits(), 1);
}

TEST_F(LinkWorker, StartRunsOneWorkerAndCanRestartAfterAStop)
{
    ASSERT_TRUE(link->Start());
    EXPECT_FALSE(link->Start()) << "a running worker is never doubled";
    link->RequestStop(true);
    ASSERT_TRUE(link->Start()) << "a stopping worker is joined, then a new one runs";
    EXPECT_EQ(calls.ThreadExits(), 1);
    link->QueueCommand(Command(CommandCode::Uptime));
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0204000403");
}

TEST_F(LinkWorker, DestroyingARunningEngineStopsItsWorker)
{
    link->SetTiming(3, 5, 2000);
    ASSERT_TRUE(link->Start());
    ::usleep(100 * 1000);
    const auto start = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(calls.ThreadExits(), 1);
}

TEST_F(LinkWorker, PortThatCannotOpenIsReportedOnceAndCommandsWait)
{
    link->SetPort(kCom + 1, 19200);   // no device behind it yet
    link->QueueCommand(Command(CommandCode::TamperUnsolicited, 1));
    link->QueueCommand(Command(CommandCode::UnsolicitedResponses, 1));
    ASSERT_TRUE(link->Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    ::usleep(200 * 1000);   // many more failed opens
    auto responses = Responses();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].status, Status::OpenFailed);
    EXPECT_EQ(responses[0].code, 0);
    EXPECT_EQ(responses[0].commandCode, -1);
    EXPECT_EQ(link->GetQueueLength(), 2u);

    PtyPeer late(kCom + 1);   // the adapter is plugged in
    EXPECT_EQ(ToHexText(late.Read(6, 3000)), "020201010203");
    late.Write(Frame(2, {1}));
    EXPECT_EQ(ToHexText(late.Read(6, 3000)), "020D01010D03");
    late.Write(Frame(13, {1}));
    ASSERT_TRUE(calls.WaitForResponses(3, 2000));
    link.reset();
}

TEST_F(LinkWorker, SecondOutageIsReportedAgain)
{
    link->SetPort(kCom + 2, 19200);
    ASSERT_TRUE(link->Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    {
        PtyPeer back(kCom + 2);
        link->QueueCommand(Command(CommandCode::Uptime));
        ASSERT_EQ(back.Read(5, 2000).size(), 5u);
        back.Write(Frame(4, {0, 0, 0, 1}));
        ASSERT_TRUE(calls.WaitForResponses(2, 2000));
        // Silence closes the port after the idle listen; then the device goes away.
        link->QueueCommand(Command(CommandCode::Uptime));
        ASSERT_EQ(back.Read(5, 2000).size(), 5u);
    }
    ASSERT_TRUE(calls.WaitForResponses(4, 5000));
    const auto responses = Responses();
    EXPECT_EQ(responses[2].status, Status::Timeout);
    EXPECT_EQ(responses[3].status, Status::OpenFailed);
}
}
