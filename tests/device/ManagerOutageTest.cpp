#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "config/LogLevelValue.h"
#include "core/Clock.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "protocol/StatusCodes.h"
#include "protocol/XModemCommand.h"
#include "tests/support/DevSimProcess.h"
#include "ManagerFixture.h"

// The link through outages, restarts and hand-edited settings, as the manager drives it.
namespace
{
constexpr int kComPort = 17;
constexpr std::uint32_t kMinute = 60'000;

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::unique_ptr<DevSimProcess> PlugUnit()
{
    return std::make_unique<DevSimProcess>(
        std::vector<std::string>{"--data-folder", GetDataFolder(), "--com", std::to_string(kComPort)}, 60);
}

class ManagerOutage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string ports = JoinPath(GetDataFolder(), "ports");
        ASSERT_TRUE(CreateDirectoryTree(ports));
        // The adapter is unplugged: its link names nothing (and no machine port is tried).
        ASSERT_EQ(::symlink("/nonexistent/adapter", JoinPath(ports, "COM17").c_str()), 0);
        f.settings.SetComPort(kComPort);
        f.settings.SetStatusPollIntervalInMinutes(1);
        f.manager.SetLinkTiming({1, 20, 300});
    }
    void TearDown() override
    {
        f.manager.Stop();
        f.manager.WaitForThreads();
    }

    ManagerFixture f;
};
}

TEST_F(ManagerOutage, DayWithoutThePortLeavesOnePollAndTheLinkStartForTheUnit)
{
    f.manager.Connect();
    f.manager.StartPolling();
    for (int minute = 0; minute < 24 * 60; ++minute)
        f.timers.Advance(kMinute);
    // The eight poll questions and the two enables, each once however often they were asked.
    EXPECT_EQ(f.link.GetQueueLength(), 10u);
    // The worker finds the port missing in its own time; once it has, a dozen more tries of
    // the open must add no line.
    const auto isError = [](const std::string& l) { return l.rfind("Error,", 0) == 0; };
    ASSERT_TRUE(WaitUntil([&] { return std::ranges::any_of(f.LogLines(), isError); }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const auto lines = f.LogLines();
    EXPECT_EQ(std::ranges::count_if(lines, isError), 1) << "one open failure for the whole outage";
    EXPECT_TRUE(Contains(lines, "Error,Error for COM17: connection failed can't open COM port, or establish TCP/IP or "
                                "dialup connection."));

    // The first open after the outage asks whether the unit answers; its answer switches the
    // reports on and asks everything again.
    auto unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    ASSERT_TRUE(unit->WaitForReceivedFrames(11, 10000));
    EXPECT_EQ(ReceivedCodes(*unit), (std::vector<int>{1, 13, 2, 4, 8, 7, 6, 1, 10, 15, 12}));
}

TEST_F(ManagerOutage, AnOrderGivenWhileTheUnitIsPulledIsDroppedWithItsLineAndNeverReachesTheUnit)
{
    f.manager.SetClock(f.clock);
    f.manager.Connect();
    f.manager.SetRelayBy(2, 1, "operator");
    f.manager.ResetDeviceBy("operator");
    ASSERT_TRUE(WaitUntil([&] { return f.manager.GetReachability().IsUnreachable(); }, 5000));
    f.clock.Advance(std::chrono::seconds(59));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));   // cycles that must drop nothing yet
    EXPECT_FALSE(Contains(f.LogLines(), "Event,Device reset not sent: given 59 s ago, the unit did not answer"));
    f.clock.Advance(std::chrono::seconds(1));
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto lines = f.LogLines();
            return Contains(lines, "Event,Relay 2 (Player) switch off not sent: given 60 s ago, the unit did not answer") &&
                   Contains(lines, "Event,Device reset not sent: given 60 s ago, the unit did not answer");
        },
        5000));

    auto unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    ASSERT_TRUE(unit->WaitForReceivedFrames(2, 10000));
    f.manager.RequestRelayStatus();   // a question after the order would have followed it
    ASSERT_TRUE(unit->WaitForReceivedFrames(3, 5000));
    const std::vector<int> codes = ReceivedCodes(*unit);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int{CommandCode::RelayToggle}), 0) << "the stale order went out";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int{CommandCode::Reset}), 0) << "the stale reset went out";
}

TEST_F(ManagerOutage, OpenFailureIsTracedWithTheStepAndTheSystemsReasonAtDebugLevel)
{
    f.settings.SetLogLevel(LogLevelDebug);
    f.manager.Connect();
    ASSERT_TRUE(WaitUntil([&] { return f.LogLines().back().rfind("Error,", 0) == 0; }, 3000));
    const auto lines = f.LogLines();
    const std::string trace = "Debug,cannot open " + JoinPath(JoinPath(GetDataFolder(), "ports"), "COM17") +
                              ": No such file or directory";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(trace, 0) == 0; }))
        << lines.front();
}

TEST_F(ManagerOutage, StopAndStartCyclesNeverLoseTheLinkStartCommands)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int kCycles = 40;
#elif defined(__SANITIZE_ADDRESS__)
    constexpr int kCycles = 200;
#else
    constexpr int kCycles = 1000;
#endif
    auto unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    f.manager.SetLinkTiming({1, 1, 300});
    for (int cycle = 0; cycle < kCycles; ++cycle)
    {
        // No wait for the old worker: Connect itself must not let it eat the new commands,
        // and a start it put off while the worker ended follows on the retry timer.
        f.manager.Stop();
        f.manager.Connect();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!unit->WaitForReceivedFrames(2u * static_cast<std::size_t>(cycle + 1), 2) &&
               std::chrono::steady_clock::now() < deadline)
            f.timers.Advance(CQuillmereManager::kConnectRetryMs);
        ASSERT_TRUE(unit->WaitForReceivedFrames(2u * static_cast<std::size_t>(cycle + 1), 0)) << "cycle " << cycle;
    }
    const std::vector<int> codes = ReceivedCodes(*unit);
    ASSERT_EQ(codes.size(), 2u * kCycles);
    for (std::size_t i = 0; i < codes.size(); i += 2)
    {
        EXPECT_EQ(codes[i], 2);
        EXPECT_EQ(codes[i + 1], 13);
    }
}

TEST_F(ManagerOutage, TestConnectionRefusesWhileTheWorkerHoldsTheLine)
{
    f.manager.Connect();
    EXPECT_EQ(f.manager.TestConnection(), LinkStatus::AlreadyConnected);
    f.manager.Stop();
    f.manager.WaitForThreads();
    EXPECT_EQ(f.manager.TestConnection(), LinkStatus::OpenFailed);
}

TEST(ManagerSettingsClamp, HandEditedIntervalsStartTimersInTheEditorsRange)
{
    for (const auto& [stored, minutes] : std::vector<std::pair<std::int32_t, std::uint32_t>>{
             {0, 1}, {-5, 1}, {99999, 60}, {30, 30}, {INT32_MIN, 1}, {INT32_MAX, 60}})
    {
        ManagerFixture f;
        f.settings.SetStatusPollIntervalInMinutes(stored);
        f.manager.StartPolling();
        EXPECT_EQ(f.timers.PeriodOf(f.manager.GetPollTimer()), minutes * kMinute) << stored;
        EXPECT_EQ(f.settings.GetStatusPollIntervalInMinutes(), stored) << "the stored value stays";
    }
}

TEST(ManagerFirmware, PathThatCannotBeSentWholeIsRefusedAndLogged)
{
    ManagerFixture f;
    EXPECT_EQ(f.manager.UpdateFirmware(std::string(CXModemCommand::MaxPathBytes + 1, 'a')),
              LinkStatus::FirmwareFileNotOpened);
    EXPECT_EQ(f.manager.UpdateFirmware(""), LinkStatus::FirmwareFileNotOpened);
    EXPECT_EQ(f.link.GetQueueLength(), 0u);
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>(2, "Event,Firmware update failed: the display is busy "
                                                         "executing a task.")));
    EXPECT_EQ(f.manager.UpdateFirmware("/tmp/update.rom"), LinkStatus::Ok);
    EXPECT_EQ(f.link.GetQueueLength(), 1u);
}

TEST(ManagerFirmware, EachOutcomeWritesOneEventLine)
{
    ManagerFixture f;
    CXModemCommand transfer;
    transfer.Code = CommandCode::FirmwareTransfer;
    f.manager.OnProgress(0, 300);
    f.manager.OnProgress(384, 300);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::FirmwareTransfer, &transfer, nullptr, 0);
    f.manager.OnResponse(LinkStatus::NotAcknowledged, CommandCode::FirmwareTransfer, &transfer, nullptr, 0);
    const auto lines = f.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Event,Firmware update finished: 384 bytes sent");
    EXPECT_EQ(lines[1], "Event,Firmware update failed: the request was not recognized.");
}

TEST(ManagerResponses, ShortUnsolicitedRelayMessageChangesAndLogsNothing)
{
    ManagerFixture f;
    const unsigned char shortMessage[56] = {3, 0};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::UnsolicitedResponses, nullptr, shortMessage, 2);
    EXPECT_TRUE(f.LogLines().empty());
    const unsigned char whole[3] = {3, 0, 1};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::UnsolicitedResponses, nullptr, whole, 3);
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"Event,Relay 3 state changed to active by button interface"}));
}

// Two managers in one process, each with its own engine: every report reaches its owner.
TEST(ManagerCallbacks, EachEngineReportsToTheManagerThatOwnsIt)
{
    struct OpenFailures : CObserver
    {
        void Update(CEventArgs* args) override
        {
            if (const auto* response = dynamic_cast<CCommandResponse*>(args))
            {
                texts.push_back(manager->FailureText(response->GetType(), response->GetResult()));
                ++reports;
            }
        }
        CQuillmereManager* manager = nullptr;
        std::vector<std::string> texts;   // read after both workers ended
        std::atomic<int> reports{0};
    };
    TempDataFolder folder;
    CAppSettings settings[2];
    CQMNetLink links[2];
    CQuillmereManager managers[2];
    OpenFailures seen[2];
    for (int i = 0; i < 2; ++i)
    {
        settings[i].SetComPort(97 + i);   // names no device
        managers[i].SetSettings(&settings[i]);
        managers[i].SetLinkEngine(&links[i]);
        seen[i].manager = &managers[i];
        managers[i].Attach(&seen[i]);
        managers[i].Connect();
    }
    // Each worker reports its port once, in its own time; a while longer would show a second.
    EXPECT_TRUE(WaitUntil([&] { return seen[0].reports > 0 && seen[1].reports > 0; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (CQuillmereManager& manager : managers)
    {
        manager.Stop();
        manager.WaitForThreads();
    }
    const std::string reason = GetErrorText(LinkStatus::OpenFailed);
    EXPECT_EQ(seen[0].texts, (std::vector<std::string>{"COM97: " + reason}));
    EXPECT_EQ(seen[1].texts, (std::vector<std::string>{"COM98: " + reason}));
}

TEST(ManagerQueue, AnOperatorsOrderReplacedBeforeItWentOutIsLogged)
{
    ManagerFixture f;
    f.manager.SetRelay(2, 0);
    f.manager.SetRelay(2, 1);
    f.manager.ResetDevice();
    f.manager.ResetDevice();
    f.manager.Poll();
    f.manager.Poll();
    EXPECT_EQ(f.link.GetQueueLength(), 10u) << "relay 2's newest order, one reset, one poll";
    const auto lines = f.LogLines();
    EXPECT_TRUE(Contains(lines, "Event,Relay 2 switch on not sent: a newer request for this relay replaced it"));
    EXPECT_TRUE(Contains(lines, "Event,Device reset not sent twice: it was still waiting to be sent"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("not sent") != std::string::npos; }),
              2)
        << "the repeated poll says nothing";
}
