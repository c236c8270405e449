#include <gtest/gtest.h>

#include "LinkTestSupport.h"
#include "core/DataFolder.h"
#include "protocol/CommandCodes.h"
#include "protocol/XModemCommand.h"
#include "link/QMNetLink.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

// The link against the simulated unit, which was written from the wire format alone.
namespace
{
constexpr int kCom = 21;

class LinkWithSimulatedUnit : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--link", JoinPath(JoinPath(GetDataFolder(), "ports"), "COM" + std::to_string(kCom))});
        ASSERT_TRUE(sim->Started()) << sim->Error();
        calls.AttachTo(link);
        link.SetPort(kCom, 19200);
        link.SetTiming(2, 5, 300);
    }
    void TearDown() override
    {
        link.RequestStop();
        link.WaitForStop();
    }

    TempDataFolder folder;
    std::unique_ptr<DevSimProcess> sim;
    CallbackLog calls;
    CQMNetLink link;
};

TEST_F(LinkWithSimulatedUnit, RelayStatusAndToggleRoundTrip)
{
    ASSERT_TRUE(sim->Command("relay 2 off"));
    ASSERT_TRUE(sim->Command("relay 4 5"));
    link.QueueCommand(Command(CommandCode::RelayStatus));
    link.QueueCommand(Command(CommandCode::RelayToggle, 3, 1));
    ASSERT_TRUE(link.Start());
    ASSERT_TRUE(calls.WaitForResponses(2, 5000));
    const auto responses = calls.Responses();
    EXPECT_EQ(responses[0].commandCode, 9) << "queued last, sent first";
    EXPECT_EQ(responses[0].status, LinkStatus::Ok);
    EXPECT_EQ(responses[1].code, 1);
    ASSERT_TRUE(responses[1].hasPayload);
    EXPECT_EQ(responses[1].payload[1], 0x01) << "relay 2 off";
    EXPECT_EQ(responses[1].payload[3], 0x05);
    EXPECT_EQ(sim->ReceivedFrames().at(0), "02 09 02 03 01 09 03");
    EXPECT_EQ(sim->ReceivedFrames().at(1), "02 01 00 01 03");
}

TEST_F(LinkWithSimulatedUnit, SilentUnitIsReportedAsTimeout)
{
    ASSERT_TRUE(sim->Command("silent on"));
    link.QueueCommand(Command(CommandCode::Uptime));
    ASSERT_TRUE(link.Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 8000));
    const auto r = calls.Responses()[0];
    EXPECT_EQ(r.status, LinkStatus::Timeout);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(sim->ReceivedFrames().size(), 1u) << "the command is never sent twice";
}

TEST_F(LinkWithSimulatedUnit, UnsolicitedDoorMessageWhileIdle)
{
    link.QueueCommand(Command(CommandCode::TamperUnsolicited, 1));   // as the link start does
    ASSERT_TRUE(link.Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 3000));
    ASSERT_TRUE(sim->Command("inject door open"));
    ASSERT_TRUE(calls.WaitForResponses(2, 3000));
    const auto r = calls.Responses()[1];
    EXPECT_EQ(r.code, 13);
    EXPECT_EQ(r.commandCode, -1);
    ASSERT_TRUE(r.hasPayload);
    EXPECT_EQ(r.payload[0], 1);
}

TEST_F(LinkWithSimulatedUnit, FirmwareUpdateRunsBothStages)
{
    std::string image(1000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + 1);
    const std::string path = JoinPath(folder.Root(), "update.rom");
    WriteWholeFile(path, image);
    link.SetTiming(3, 5, 1500);
    auto command = std::make_unique<CXModemCommand>();
    command->Code = CommandCode::RequestUpgrade;
    ASSERT_TRUE(command->SetFilePath(path));
    link.QueueCommand(std::move(command));
    ASSERT_TRUE(link.Start());
    ASSERT_TRUE(calls.WaitForResponses(1, 20000));
    const auto responses = calls.Responses();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].status, LinkStatus::Ok);
    EXPECT_EQ(responses[0].code, 255);
    ASSERT_TRUE(sim->WaitForTranscriptLine("firmware received", 3000));
    const std::string stored = ReadWholeFile(sim->FirmwarePath());
    EXPECT_EQ(stored.substr(0, image.size()), image);
    EXPECT_EQ(calls.Progress().back(), (std::pair<int, int>{1024, 1000}));
}
}
