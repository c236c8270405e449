#include <gtest/gtest.h>

#include <algorithm>
#include <sys/resource.h>
#include <thread>

#include "LinkTestSupport.h"
#include "core/Clock.h"
#include "protocol/CommandCodes.h"
#include "protocol/SerialCommand.h"
#include "link/QMNetLink.h"
#include "tests/support/TempDataFolder.h"

namespace
{
constexpr int kCom = 9;

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
    // Outlives the link, whose worker may read it until TearDown joins it.
    CManualClock clock;
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
    EXPECT_EQ(r.status, LinkStatus::Ok);
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

TEST_F(LinkWorker, FramesOfAQuietLineAreReadAsTheyComeAndNoneIsLostBetweenListens)
{
    link->SetTiming(3, 150, 20);   // listens of 60 ms with the program's pause
    ASSERT_TRUE(link->Start());
    ::usleep(400 * 1000);   // past the first pause: the port is open and raw
    std::size_t sent = 0;
    for (int round = 0; round < 12; ++round)
    {
        ::usleep(static_cast<useconds_t>(23 + round * 17) * 1000);   // anywhere in a listen or between two
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i)
            peer->Write(Frame(13, {1}));
        sent += 3;
        ASSERT_TRUE(calls.WaitForResponses(sent, 2000)) << "round " << round;
        // Back to back, not one pause apiece.
        EXPECT_LT(ElapsedMs(start), 250) << "round " << round;
    }
    EXPECT_EQ(Responses().size(), sent);
}

TEST_F(LinkWorker, ResetAnswerHasNoPayload)
{
    link->QueueCommand(Command(CommandCode::Reset, CommandCode::ResetMagic));
    ASSERT_TRUE(link->Start());
    EXPECT_EQ(ToHexText(peer->Read(6, 2000)), "020B01AAA003");
    peer->Write(Frame(11, {0xAA}));
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_EQ(Responses()[0].status, LinkStatus::Ok);
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
    EXPECT_EQ(r.status, LinkStatus::Timeout);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.commandCode, 4);
    EXPECT_FALSE(r.hasPayload);

    // The failed exchange closed the port; the next command gets a freshly opened one.
    link->QueueCommand(Command(CommandCode::Rssi));
    EXPECT_EQ(ToHexText(peer->Read(5, 3000)), "020A000A03");
    peer->Write(Frame(10, {9}));
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    EXPECT_EQ(Responses()[1].status, LinkStatus::Ok);
}

TEST_F(LinkWorker, GarbageIsReportedAsInvalidAfterTheRetries)
{
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write({0x43, 0x43, 0x43});
    ASSERT_TRUE(calls.WaitForResponses(1, 3000));
    EXPECT_EQ(Responses()[0].status, LinkStatus::InvalidFrame);
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
    EXPECT_EQ(r.status, LinkStatus::Ok);
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
    EXPECT_EQ(Responses()[0].status, LinkStatus::NotAcknowledged);
    EXPECT_EQ(Responses()[0].code, 5);
    EXPECT_EQ(Responses()[0].commandCode, 5);
}

TEST_F(LinkWorker, StopWhileIdleEndsPromptlyAndHandsBackWhatWasQueued)
{
    link->SetTiming(3, 5, 2000);   // an idle listen would last six seconds
    ASSERT_TRUE(link->Start());
    ::usleep(200 * 1000);
    const auto start = std::chrono::steady_clock::now();
    link->QueueCommand(Command(CommandCode::Uptime));
    link->QueueCommand(Command(CommandCode::Rssi));
    link->RequestStop();
    ASSERT_TRUE(calls.WaitForThreadExit(3000));
    EXPECT_LT(ElapsedMs(start), 1000);
    link->WaitForStop();
    EXPECT_FALSE(link->IsRunning());
    EXPECT_EQ(link->GetQueueLength(), 0u);
    // A busy machine may let the worker take the newer one onto the wire before the stop:
    // either way each comes back once, as stopped.
    ASSERT_EQ(Responses().size(), 2u) << "each removed command is handed back once";
    for (const auto& response : Responses())
        EXPECT_EQ(response.status, LinkStatus::Stopped);
    EXPECT_EQ(calls.ThreadExits(), 1);
}

TEST_F(LinkWorker, StopAbandonsTheAnswerUnderWayAndTheNextRunAsksAgain)
{
    link->SetTiming(3, 5, 2000);   // a silent unit would hold this command for 24 s
    link->QueueCommand(Command(CommandCode::RelayToggle, 2, 1));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(7, 2000).size(), 7u);
    peer->Write({0x02, 0x10});   // half a frame: the stop must not wait for the rest
    ::usleep(50 * 1000);
    const auto start = std::chrono::steady_clock::now();
    link->RequestStop();
    ASSERT_TRUE(calls.WaitForThreadExit(3000));
    EXPECT_LT(ElapsedMs(start), 300);
    link->WaitForStop();
    ASSERT_EQ(Responses().size(), 1u);
    EXPECT_EQ(Responses()[0].status, LinkStatus::Stopped) << "abandoned, not the unit's failure";
    EXPECT_EQ(Responses()[0].commandCode, CommandCode::RelayToggle);

    peer->ReadUntilQuiet(50, 500);
    ASSERT_TRUE(link->Start());
    link->QueueCommand(Command(CommandCode::Uptime));
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0204000403") << "the next run is not stopped";
}

TEST_F(LinkWorker, OrderThatFindsNoUnitWithinItsLifetimeIsDroppedAndNeverSentLater)
{
    peer->HangUp();   // the adapter is pulled before anything is asked
    link->SetClock(clock);
    link->SetTiming(2, 20, 150);
    link->QueueCommand(Command(CommandCode::RelayToggle, 3, 1));
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 3000));   // the open failure
    clock.Advance(CQMNetLink::DefaultOrderLifetime - std::chrono::milliseconds(1));
    ::usleep(100 * 1000);   // several more cycles: none may drop an order still within its minute
    ASSERT_EQ(Responses().size(), 1u);
    clock.Advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(calls.WaitForResponses(2, 3000));   // then the dropped order
    const auto responses = Responses();
    const auto expired = std::find_if(responses.begin(), responses.end(),
                                      [](const ResponseEvent& r) { return r.status == LinkStatus::Expired; });
    ASSERT_NE(expired, responses.end());
    EXPECT_EQ(expired->commandCode, CommandCode::RelayToggle);
    EXPECT_EQ(link->GetQueueLength(), 1u) << "a question waits on; only the order has a lifetime";

    peer.reset();   // its destructor removes the port's link, so it goes first
    peer = std::make_unique<PtyPeer>(kCom);   // plugged back in
    EXPECT_EQ(ToHexText(peer->Read(5, 3000)), "0204000403") << "the question goes, the stale order does not";
    EXPECT_TRUE(peer->Read(1, 300).empty());
}

// Around a reset the newest-first order gives way: an order given before it goes first (one
// sent into the restart would be lost), then the reset, then what came after; while the owner
// holds the line only its probe goes out.
TEST_F(LinkWorker, AResetFollowsTheOrdersBeforeItAndAHeldLineSendsOnlyTheProbe)
{
    link->QueueCommand(Command(CommandCode::RelayToggle, 2, 1));
    link->QueueCommand(Command(CommandCode::Uptime));
    link->QueueCommand(Command(CommandCode::Reset, 0xAA));
    link->QueueCommand(Command(CommandCode::RelayStatus));
    ASSERT_TRUE(link->Start());
    EXPECT_EQ(ToHexText(peer->Read(7, 2000)), "02090202010803");
    peer->Write(Frame(9, {2, 1}));
    EXPECT_EQ(ToHexText(peer->Read(6, 2000)), "020B01AAA003");
    link->Hold(true);   // as the owner does when the reset's answer comes
    peer->Write({0x06});
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    EXPECT_TRUE(peer->Read(1, 300).empty()) << "the held questions wait";
    auto probe = Command(CommandCode::RelayStatus);
    probe->Probe = true;
    link->QueueCommand(std::move(probe));
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0201000103");
    peer->Write(Frame(1, {0, 0, 0, 0}));
    ASSERT_TRUE(calls.WaitForResponses(3, 2000));
    link->Hold(false);
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0201000103");
    peer->Write(Frame(1, {0, 0, 0, 0}));
    EXPECT_EQ(ToHexText(peer->Read(5, 2000)), "0204000403");
}

TEST_F(LinkWorker, StartRunsOneWorkerAndCanRestartAfterAStop)
{
    ASSERT_TRUE(link->Start());
    EXPECT_FALSE(link->Start()) << "a running worker is never doubled";
    link->RequestStop();
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
    EXPECT_EQ(responses[0].status, LinkStatus::OpenFailed);
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
        // The device goes away while a command waits for its answer.
        link->QueueCommand(Command(CommandCode::Uptime));
        ASSERT_EQ(back.Read(5, 2000).size(), 5u);
    }
    ASSERT_TRUE(calls.WaitForResponses(4, 5000));
    const auto responses = Responses();
    EXPECT_EQ(responses[2].status, LinkStatus::LineHungUp);
    EXPECT_EQ(responses[3].status, LinkStatus::OpenFailed);
}
}

// ---- when things happen: wakes, merges, hang-ups, floods ----
namespace
{
double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

TEST_F(LinkWorker, QueuedCommandEndsTheIdleListenAtOnceAndKeepsThePortOpen)
{
    link->SetTiming(3, 150, 2000);   // the program's timing: an idle listen of six seconds
    ASSERT_TRUE(link->Start());
    ::usleep(400 * 1000);             // past the pause, into the listen
    for (int round = 0; round < 3; ++round)
    {
        const auto start = std::chrono::steady_clock::now();
        link->QueueCommand(Command(CommandCode::Uptime));
        ASSERT_EQ(ToHexText(peer->Read(5, 3000)), "0204000403");
        EXPECT_LT(ElapsedMs(start), 100) << "round " << round;
        peer->Write(Frame(4, {0, 0, 0, 1}));
        ASSERT_TRUE(calls.WaitForResponses(static_cast<std::size_t>(round + 1), 2000));
        ::usleep(300 * 1000);
    }
    // Woken listens are no failures: nothing but the three answers was reported.
    EXPECT_EQ(Responses().size(), 3u);
}

TEST_F(LinkWorker, NewerCommandReplacesAQueuedOneWithTheSameIntent)
{
    EXPECT_EQ(link->QueueCommand(Command(CommandCode::RelayToggle, 2, 0)), nullptr);
    EXPECT_EQ(link->QueueCommand(Command(CommandCode::RelayStatus)), nullptr);
    EXPECT_EQ(link->QueueCommand(Command(CommandCode::RelayToggle, 3, 0)), nullptr);
    const auto replaced = link->QueueCommand(Command(CommandCode::RelayToggle, 2, 1));
    ASSERT_NE(replaced, nullptr);
    EXPECT_EQ(replaced->Param2, 0) << "the older order is handed back";
    EXPECT_NE(link->QueueCommand(Command(CommandCode::RelayStatus)), nullptr);
    EXPECT_EQ(link->QueueCommand(Command(CommandCode::RelayTestCycle, 2)), nullptr) << "another code";
    EXPECT_EQ(link->GetQueueLength(), 4u);

    ASSERT_TRUE(link->Start());
    // Last queued first, the newest state of relay 2 in its newest place.
    for (const char* frame : {"020501020603", "0201000103", "02090202010803", "02090203000803"})
    {
        const Bytes sent = peer->Read(std::string(frame).size() / 2, 2000);
        EXPECT_EQ(ToHexText(sent), frame);
        peer->Write({0x06});
    }
}

TEST_F(LinkWorker, FirmwareStagesAreNeverMerged)
{
    for (int i = 0; i < 2; ++i)
    {
        auto command = std::make_unique<CSerialCommand>();
        command->Code = CommandCode::RequestUpgrade;
        EXPECT_EQ(link->QueueCommand(std::move(command)), nullptr);
    }
    EXPECT_EQ(link->GetQueueLength(), 2u);
}

TEST_F(LinkWorker, HungUpLineFailsTheWaitingCommandAtOnceThenWaitsQuietly)
{
    link->SetTiming(3, 150, 2000);   // unanswered, the command would take 24 s
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    const auto start = std::chrono::steady_clock::now();
    peer->HangUp();
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(Responses()[0].status, LinkStatus::LineHungUp);
    EXPECT_EQ(Responses()[0].commandCode, 4);

    // The adapter stays away: one open failure, and the worker costs next to nothing.
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    const double cpuBefore = ProcessCpuMs();
    ::usleep(2000 * 1000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 20.0) << "under 1 % of a core";
    ASSERT_EQ(Responses().size(), 2u);
    EXPECT_EQ(Responses()[1].status, LinkStatus::OpenFailed);
}

TEST_F(LinkWorker, HangUpWhileIdleIsNoCommandFailure)
{
    link->SetTiming(3, 150, 2000);
    ASSERT_TRUE(link->Start());
    ::usleep(400 * 1000);
    const double cpuBefore = ProcessCpuMs();
    peer->HangUp();
    ASSERT_TRUE(calls.WaitForResponses(1, 2000));
    ::usleep(1500 * 1000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 30.0);
    ASSERT_EQ(Responses().size(), 1u);
    EXPECT_EQ(Responses()[0].status, LinkStatus::OpenFailed);
}

TEST_F(LinkWorker, FloodOfUnsolicitedFramesNeitherStarvesTheCommandNorHoldsAStop)
{
    link->SetTiming(2, 5, 150);   // the command's budget: 3 receives of 2 reads, 900 ms
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    // Joined on every way out of the test, a failed assertion included.
    std::jthread flood([&](std::stop_token flooding) {
        const Bytes frame = Frame(2, {1, 0, 1});
        while (!flooding.stop_requested())
        {
            peer->Write(frame);
            ::usleep(200);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(calls.WaitForResponses(1, 5000));
    while (ElapsedMs(start) < 3000)
    {
        const auto responses = Responses();
        if (std::any_of(responses.begin(), responses.end(), [](const ResponseEvent& r) { return r.code == 4; }))
            break;
        ::usleep(10 * 1000);
    }
    const auto responses = Responses();
    const auto failure = std::find_if(responses.begin(), responses.end(),
                                      [](const ResponseEvent& r) { return r.code == 4; });
    ASSERT_NE(failure, responses.end()) << "the command was starved";
    EXPECT_EQ(failure->status, LinkStatus::Timeout);
    EXPECT_LT(ElapsedMs(start), 1500);

    const auto stopAt = std::chrono::steady_clock::now();
    link->RequestStop();
    EXPECT_TRUE(calls.WaitForThreadExit(1000));
    EXPECT_LT(ElapsedMs(stopAt), 1000);
}

TEST_F(LinkWorker, StopBetweenFramesHandsTheWaitingCommandBackAsStoppedNotFailed)
{
    link->SetTiming(3, 5, 2000);
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    link->RequestStop();
    peer->Write(Frame(13, {1}));   // a frame ends the wait for the next one
    ASSERT_TRUE(calls.WaitForThreadExit(1500));
    for (const ResponseEvent& r : Responses())
        EXPECT_TRUE(r.code != 4 || r.status == LinkStatus::Stopped)
            << "no failure reported for a command given up by a stop";
}

TEST_F(LinkWorker, PayloadLengthComesWithEveryResponse)
{
    link->QueueCommand(Command(CommandCode::RelayStatus));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);
    peer->Write(Frame(2, {3, 0}));
    peer->Write(Frame(1, {1, 0}));
    ASSERT_TRUE(calls.WaitForResponses(2, 2000));
    EXPECT_EQ(Responses()[0].length, 2u);
    EXPECT_EQ(Responses()[1].length, 2u);
    EXPECT_EQ(Responses()[1].code, 1);
}

TEST_F(LinkWorker, StartAfterAStopAlwaysRunsAndKeepsWhatWasQueuedForIt)
{
    link->SetTiming(3, 5, 2000);
    link->QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link->Start());
    ASSERT_EQ(peer->Read(5, 2000).size(), 5u);   // the old run waits for this answer
    link->RequestStop();
    link->QueueCommand(Command(CommandCode::TamperUnsolicited, 1));
    link->QueueCommand(Command(CommandCode::UnsolicitedResponses, 1));
    ASSERT_TRUE(link->Start());
    EXPECT_EQ(ToHexText(peer->Read(6, 2000)), "020201010203");
    peer->Write({0x06});
    EXPECT_EQ(ToHexText(peer->Read(6, 2000)), "020D01010D03");
}
}
