#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "protocol/CommandCodes.h"
#include "tests/support/DevSimProcess.h"
#include "ManagerFixture.h"

// A unit that goes away and comes back, as the manager, the link and the simulated unit live
// it over a real pseudo-terminal with real time: the poll is half an hour away, so whatever
// the unit is asked after its return the program asked of its own accord.
namespace
{
using Clock = std::chrono::steady_clock;
constexpr int kComPort = 11;
// The probe's first pause is 5 s and one read time-out decides it; the rest is slack for a
// busy machine.
constexpr int kReturnSeenMs = 15'000;

std::unique_ptr<DevSimProcess> PlugUnit(std::vector<std::string> extra = {})
{
    std::vector<std::string> arguments{"--data-folder", GetDataFolder(), "--com", std::to_string(kComPort)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return std::make_unique<DevSimProcess>(arguments, 120);
}

// The frames after the first `skip`, each as its code and whether the restarting unit ignored it.
struct Frame
{
    int code;
    int param;
    bool ignored;
};
std::vector<Frame> FramesAfter(const DevSimProcess& unit, std::size_t skip)
{
    std::vector<Frame> frames;
    const std::vector<std::string> all = unit.ReceivedFrames();
    for (std::size_t n = skip; n < all.size(); ++n)
    {
        unsigned start = 0, code = 0, length = 0, param = 0;
        if (std::sscanf(all[n].c_str(), "%x %x %x %x", &start, &code, &length, &param) < 3 || start != 0x02)
            continue;
        frames.push_back({static_cast<int>(code), length > 0 ? static_cast<int>(param) : -1,
                          all[n].find("!restarting") != std::string::npos});
    }
    return frames;
}

long Count(const std::vector<Frame>& frames, int code)
{
    return std::count_if(frames.begin(), frames.end(), [code](const Frame& f) { return f.code == code; });
}

class ManagerReturn : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryTree(JoinPath(GetDataFolder(), "ports")));
        f.settings.SetComPort(kComPort);
        f.settings.SetStatusPollIntervalInMinutes(30);
        // Short read time-outs keep failures quick; a probe still waits one of them.
        f.manager.SetLinkTiming({3, 20, 150});
    }
    void TearDown() override
    {
        f.manager.Stop();
        f.manager.WaitForThreads();
    }

    void StartAndWaitForAnAnswer()
    {
        f.manager.Connect();
        f.manager.StartPolling();
        ASSERT_TRUE(WaitUntil([&] { return Reachable(); }, 5000));
        ASSERT_TRUE(unit->WaitForReceivedFrames(10, 5000));   // the link start and the poll
    }
    // Silence, then a question the unit leaves unanswered.
    void Silence()
    {
        ASSERT_TRUE(unit->Command("silent on"));
        f.manager.RequestRelayStatus();
        ASSERT_TRUE(WaitUntil([&] { return f.manager.GetReachability().IsUnreachable(); }, 5000));
    }
    bool Reachable() const
    {
        return f.manager.GetReachability().GetState() == CUnitReachability::State::Reachable;
    }
    bool LogHas(const std::string& start) const
    {
        const auto lines = f.LogLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    }

    ManagerFixture f;   // first: its temporary data folder holds the unit's link
    std::unique_ptr<DevSimProcess> unit;
};
}

TEST_F(ManagerReturn, ASilentUnitIsProbedAloneAndItsReturnIsSeenWithinSeconds)
{
    unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    StartAndWaitForAnAnswer();
    Silence();
    const std::size_t before = unit->ReceivedFrames().size();
    f.manager.Poll();   // eight questions that must wait rather than fail one by one
    f.manager.SetRelayBy(1, 1, "operator");
    ASSERT_TRUE(WaitUntil([&] { return unit->ReceivedFrames().size() > before; }, 10'000)) << "no probe";
    const std::vector<Frame> whileSilent = FramesAfter(*unit, before);
    ASSERT_EQ(whileSilent.size(), 1u);
    EXPECT_EQ(whileSilent[0].code, CommandCode::RelayStatus) << "only the probe goes while the unit is silent";

    const std::size_t returned = unit->ReceivedFrames().size();
    ASSERT_TRUE(unit->Command("silent off"));
    const Clock::time_point back = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Reachable(); }, kReturnSeenMs));
    EXPECT_LT(Clock::now() - back, std::chrono::milliseconds(kReturnSeenMs));
    EXPECT_TRUE(WaitUntil([&] { return LogHas("Event,The unit answers again after "); }, 2000));
    // Both kinds of report on again, the whole status asked again, and the order carried out.
    ASSERT_TRUE(WaitUntil([&] { return FramesAfter(*unit, returned).size() >= 12; }, 5000));
    const std::vector<Frame> after = FramesAfter(*unit, returned);
    EXPECT_EQ(Count(after, CommandCode::TamperUnsolicited), 1);
    EXPECT_EQ(Count(after, CommandCode::UnsolicitedResponses), 1);
    EXPECT_EQ(Count(after, CommandCode::Uptime), 1);
    EXPECT_EQ(Count(after, CommandCode::RelayToggle), 1);
}

TEST_F(ManagerReturn, AUnitPluggedBackIsAskedAtOnceAndItsReportsComeBackOn)
{
    // Standing still, the manager's clock never brings a probe of the back-off due: only the
    // reopened port can ask the unit.
    f.manager.SetClock(f.clock);
    unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    StartAndWaitForAnAnswer();
    unit->Stop();
    f.manager.RequestRelayStatus();
    ASSERT_TRUE(WaitUntil([&] { return f.manager.GetReachability().IsUnreachable(); }, 5000));

    unit = PlugUnit();   // a restarted unit: both kinds of report off
    ASSERT_TRUE(unit->Started()) << unit->Error();
    const Clock::time_point plugged = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Reachable(); }, kReturnSeenMs));
    EXPECT_LT(Clock::now() - plugged, std::chrono::milliseconds(kReturnSeenMs));
    ASSERT_TRUE(WaitUntil([&] { return FramesAfter(*unit, 0).size() >= 11; }, 5000));
    EXPECT_EQ(FramesAfter(*unit, 0).front().code, CommandCode::RelayStatus) << "the probe first";
    ASSERT_TRUE(unit->Command("inject door 1"));
    EXPECT_TRUE(WaitUntil([&] { return LogHas("Event,Device cover was opened"); }, 5000));
}

TEST_F(ManagerReturn, OrdersBeforeAResetGoFirstAndNothingButTheProbeGoesIntoTheRestart)
{
    unit = PlugUnit({"--reset-ms", "6000"});   // deaf past the first follow-up question
    ASSERT_TRUE(unit->Started()) << unit->Error();
    StartAndWaitForAnAnswer();
    const std::size_t before = unit->ReceivedFrames().size();
    f.manager.SetRelayBy(2, 1, "operator");
    f.manager.ResetDeviceBy("operator");
    f.manager.SetRelayBy(3, 1, "operator");   // given after the reset: waits for the unit's return
    ASSERT_TRUE(WaitUntil([&] { return Count(FramesAfter(*unit, before), CommandCode::RelayToggle) == 2; }, 20'000));
    const std::vector<Frame> frames = FramesAfter(*unit, before);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].code, CommandCode::RelayToggle);
    EXPECT_EQ(frames[0].param, 2);
    EXPECT_EQ(frames[1].code, CommandCode::Reset);
    const auto answered = std::find_if(frames.begin() + 2, frames.end(), [](const Frame& f) { return !f.ignored; });
    ASSERT_NE(answered, frames.end());
    EXPECT_EQ(answered->code, CommandCode::RelayStatus) << "the first frame the unit took after its restart";
    for (auto it = frames.begin() + 2; it != answered; ++it)
        EXPECT_EQ(it->code, CommandCode::RelayStatus) << "only the probe goes into the restart";
    const auto relay3 = std::find_if(frames.begin(), frames.end(),
                                     [](const Frame& f) { return f.code == CommandCode::RelayToggle && f.param == 3; });
    EXPECT_GT(relay3, answered);
    EXPECT_FALSE(f.manager.IsResetPending());
}

TEST_F(ManagerReturn, AResetGivenWhileTheUnitIsSilentReachesItSoonAfterItsReturn)
{
    unit = PlugUnit();
    ASSERT_TRUE(unit->Started()) << unit->Error();
    StartAndWaitForAnAnswer();
    Silence();
    f.manager.ResetDeviceBy("operator");
    const std::size_t before = unit->ReceivedFrames().size();
    ASSERT_TRUE(WaitUntil([&] { return unit->ReceivedFrames().size() > before; }, 10'000)) << "no probe";
    EXPECT_EQ(Count(FramesAfter(*unit, 0), CommandCode::Reset), 0) << "not sent into the silence";

    ASSERT_TRUE(unit->Command("silent off"));
    const Clock::time_point back = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Count(FramesAfter(*unit, before), CommandCode::Reset) == 1; }, kReturnSeenMs));
    EXPECT_LT(Clock::now() - back, std::chrono::seconds(10));
}
