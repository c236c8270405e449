#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "device/QuillmereDeviceStatus.h"
#include "tests/support/DevSimProcess.h"
#include "ManagerFixture.h"

// The manager, the link engine and the simulated unit over a real pseudo-terminal.
namespace
{
constexpr int kComPort = 7;

class ManagerDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryTree(JoinPath(GetDataFolder(), "ports")));
        unit = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--data-folder", GetDataFolder(), "--com", std::to_string(kComPort)}, 60);
        ASSERT_TRUE(unit->Started()) << unit->Error();
        f.settings.SetComPort(kComPort);
        // Short read time-outs keep failures quick; the wire behaviour is the same.
        f.manager.SetLinkTiming({3, 20, 150});
    }

    void TearDown() override
    {
        f.manager.Stop();
        f.manager.WaitForThreads();
    }

    bool LogHas(const std::string& line, int timeoutMs = 5000)
    {
        return WaitUntil(
            [&] {
                const auto lines = f.LogLines();
                return std::find(lines.begin(), lines.end(), line) != lines.end();
            },
            timeoutMs);
    }

    ManagerFixture f;   // first: its temporary data folder must exist before the unit's link
    std::unique_ptr<DevSimProcess> unit;
};
}

TEST_F(ManagerDevice, ConnectAloneSendsTheUnsolicitedEnablesLastQueuedFirst)
{
    f.manager.Connect();
    ASSERT_TRUE(unit->WaitForReceivedFrames(2, 5000));
    EXPECT_EQ(ReceivedCodes(*unit), (std::vector<int>{2, 13}));
    EXPECT_EQ(unit->ReceivedFrames().at(0).substr(0, 17), "02 02 01 01 02 03");
}

TEST_F(ManagerDevice, ConnectAndFirstPollReachTheUnitInReverseOrderOfQueuing)
{
    f.manager.Connect();
    f.manager.StartPolling();
    ASSERT_TRUE(unit->WaitForReceivedFrames(10, 5000));
    EXPECT_EQ(ReceivedCodes(*unit), (std::vector<int>{4, 8, 7, 6, 1, 10, 15, 12, 2, 13}));
}

TEST_F(ManagerDevice, EveryStatusFieldIsDecodedFromTheUnitsAnswers)
{
    ASSERT_TRUE(unit->Command("relay 2 off"));
    ASSERT_TRUE(unit->Command("relay 4 off"));
    ASSERT_TRUE(unit->Command("firmware 1.2.3"));
    ASSERT_TRUE(unit->Command("iccid 8944500102198304826"));
    ASSERT_TRUE(unit->Command("gsm on"));
    ASSERT_TRUE(unit->Command("rssi 20"));
    ASSERT_TRUE(unit->Command("door open"));
    ASSERT_TRUE(unit->Command("radio 3g"));
    ASSERT_TRUE(unit->Command("uptime 86400"));
    ASSERT_TRUE(unit->Command("clock 2031-12-31 12:00"));

    f.manager.Connect();
    f.manager.StartPolling();
    CQuillmereDeviceStatus& status = *f.manager.GetDeviceStatus();
    ASSERT_TRUE(WaitUntil([&] { return status.GetRadioType() == 1 && status.GetDoorOpen(); }, 5000));

    EXPECT_EQ(f.manager.GetRelayStates().GetStates(), (std::array<std::int32_t, 4>{0, 1, 0, 1}));
    EXPECT_EQ(status.GetFirmwareMajor(), 1);
    EXPECT_EQ(status.GetFirmwareMinor(), 2);
    EXPECT_EQ(status.GetFirmwareBuild(), 3);
    EXPECT_EQ(status.GetIccid(), "8944500102198304826");
    EXPECT_TRUE(status.GetGsmActive());
    EXPECT_EQ(status.GetRssi(), -73);
    // Uptime keeps running on the unit between the set and the answer.
    EXPECT_GE(status.GetUptime(), 86400);
    EXPECT_LT(status.GetUptime(), 86400 + 30);
    std::tm expected{};
    expected.tm_year = 2031 - 1900;
    expected.tm_mon = 11;
    expected.tm_mday = 31;
    expected.tm_hour = 12;
    expected.tm_isdst = -1;
    const std::time_t clock = status.GetDateTime();
    // The unit's clock runs too; it is read to the minute.
    EXPECT_GE(clock, std::mktime(&expected));
    EXPECT_LT(clock, std::mktime(&expected) + 120);
    f.manager.Stop();
    f.manager.WaitForThreads();
    for (const std::string& line : f.LogLines())
        EXPECT_NE(line.rfind("Error,", 0), 0u) << line;
}

// The first unanswered question is said and resets its field; the rest wait for the unit
// instead of failing one by one.
TEST_F(ManagerDevice, AnUnansweredCommandIsLoggedAndResetsItsField)
{
    ASSERT_TRUE(unit->Command("uptime 86400"));
    f.manager.Connect();
    f.manager.StartPolling();
    CQuillmereDeviceStatus& status = *f.manager.GetDeviceStatus();
    ASSERT_TRUE(WaitUntil([&] { return status.GetRssi() != -2000 && status.GetUptime() != 0; }, 5000));

    ASSERT_TRUE(unit->Command("silent on"));
    f.manager.Poll();
    EXPECT_TRUE(LogHas("Error,Error for Uptime command no response from the device within the timeout period.", 20000));
    EXPECT_EQ(status.GetUptime(), 0);
    EXPECT_TRUE(f.manager.GetReachability().IsUnreachable());
    EXPECT_TRUE(f.link.IsHeld());
    EXPECT_GE(f.link.GetQueueLength(), 7u) << "the other questions wait";
}

TEST_F(ManagerDevice, AResetReenablesUnsolicitedMessagesExactlyOnce)
{
    f.manager.Connect();
    ASSERT_TRUE(unit->WaitForReceivedFrames(2, 5000));
    f.manager.ResetDevice();
    ASSERT_TRUE(unit->WaitForReceivedFrames(3, 5000));
    f.manager.RequestRelayStatus();
    // Back on: both kinds of report, then the whole status asked again.
    ASSERT_TRUE(unit->WaitForReceivedFrames(14, 10000));
    f.manager.RequestRelayStatus();
    ASSERT_TRUE(unit->WaitForReceivedFrames(15, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReceivedCodes(*unit), (std::vector<int>{2, 13, 11, 1, 13, 2, 4, 8, 7, 6, 1, 10, 15, 12, 1}));
    EXPECT_TRUE(LogHas("Event,Manual reset of the device was triggered."));
}

TEST_F(ManagerDevice, UnsolicitedRelayAndDoorMessagesAreLogged)
{
    f.manager.Connect();
    ASSERT_TRUE(unit->WaitForReceivedFrames(2, 5000));
    ASSERT_TRUE(unit->Command("inject relay 3 on button"));
    EXPECT_TRUE(LogHas("Event,Relay 3 state changed to active by button interface"));
    ASSERT_TRUE(unit->Command("inject door 1"));
    EXPECT_TRUE(LogHas("Event,Device cover was opened"));
    EXPECT_TRUE(WaitUntil([&] { return f.manager.GetDeviceStatus()->GetDoorOpen(); }, 2000));
}

TEST_F(ManagerDevice, TestConnectionTalksToTheUnitWhileTheLinkIsStopped)
{
    EXPECT_EQ(f.manager.TestConnection(), LinkStatus::Ok);
    ASSERT_TRUE(unit->WaitForReceivedFrames(1, 2000));
    EXPECT_EQ(ReceivedCodes(*unit), (std::vector<int>{1}));
}
