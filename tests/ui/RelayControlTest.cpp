#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <memory>
#include <thread>

#include "tests/support/PtyDevice.h"
#include "tests/support/QtWait.h"
#include "UiTestSupport.h"
#include "config/RelaySetting.h"
#include "protocol/SerialCommand.h"
#include "link/QMNetLink.h"
#include "ui/RelayControl.h"

namespace
{
enum class Bulb
{
    Lit,
    Unlit,
    Other
};

enum class Switch
{
    Blue,
    Black,
    Other
};

class RelayControlTest : public ::testing::Test
{
protected:
    std::unique_ptr<CRelayControl> MakeControl(int index)
    {
        auto control = std::make_unique<CRelayControl>();
        control->SetRelayIndex(index);
        control->SetManager(&engine.manager);
        control->Create();
        control->resize(480, CRelayControl::kHeight);
        return control;
    }

    static QPushButton* SwitchButton(CRelayControl& control)
    {
        return control.findChild<QPushButton*>("switchButton");
    }

    static QPushButton* PowerCycleButton(CRelayControl& control)
    {
        return control.findChild<QPushButton*>("powerCycleButton");
    }

    static Bulb BulbOf(CRelayControl& control)
    {
        const QImage image = control.findChild<QLabel*>("stateIcon")->pixmap().toImage();
        if (image.isNull())
            return Bulb::Other;
        const QRgb pixel = image.pixel(12, 9);
        if (qRed(pixel) > 200 && qGreen(pixel) > 180 && qBlue(pixel) < 120)
            return Bulb::Lit;
        if (qBlue(pixel) > 200 && qBlue(pixel) > qRed(pixel) && qGreen(pixel) > 180)
            return Bulb::Unlit;
        return Bulb::Other;
    }

    static Switch SwitchOf(CRelayControl& control)
    {
        const QImage image = SwitchButton(control)->icon().pixmap(24, 24).toImage();
        if (image.isNull())
            return Switch::Other;
        const QRgb pixel = image.pixel(4, 12);
        if (qBlue(pixel) > 150 && qRed(pixel) < 100)
            return Switch::Blue;
        if (qRed(pixel) < 60 && qGreen(pixel) < 60 && qBlue(pixel) < 60 && qAlpha(pixel) > 200)
            return Switch::Black;
        return Switch::Other;
    }

    // The device's answer as the link worker hands it to the manager.
    void Answer(LinkStatus status, int code, std::uint8_t param1, std::uint8_t param2,
                const std::vector<unsigned char>& payload = {})
    {
        OnWorkerThread([&] {
            CSerialCommand command;
            command.Code = static_cast<std::uint8_t>(code);
            command.Param1 = param1;
            command.Param2 = param2;
            engine.manager.OnResponse(status, code, &command, payload.empty() ? nullptr : payload.data());
        });
        DeliverPosted();
    }

    void Unsolicited(std::vector<unsigned char> payload)
    {
        OnWorkerThread(
            [&] { engine.manager.OnResponse(LinkStatus::Ok, 2, nullptr, payload.data(), payload.size()); });
        DeliverPosted();
    }

    // The unit's relay status answer: one byte per relay, 0 for on.
    void ReportRelays(std::vector<unsigned char> states)
    {
        CSerialCommand command;
        command.Code = 1;
        OnWorkerThread(
            [&] { engine.manager.OnResponse(LinkStatus::Ok, 1, &command, states.data(), states.size()); });
        DeliverPosted();
    }

    EngineFixture engine;
};

class RelayPermissionTest : public RelayControlTest, public ::testing::WithParamInterface<std::pair<int, int>>
{
};
}

TEST_P(RelayPermissionTest, OffersOnlyTheButtonsThePermissionAllows)
{
    const RelayPermission permission = static_cast<RelayPermission>(GetParam().first);
    engine.settings.FindRelaySetting(2)->SetPermission(permission);
    auto control = MakeControl(2);
    const bool showsSwitch = (GetParam().second & 1) != 0;
    const bool showsCycle = (GetParam().second & 2) != 0;
    EXPECT_EQ(!SwitchButton(*control)->isHidden(), showsSwitch);
    EXPECT_EQ(!PowerCycleButton(*control)->isHidden(), showsCycle);
    EXPECT_EQ(PowerCycleButton(*control)->text(), "Power Cycle");
    EXPECT_EQ(PowerCycleButton(*control)->toolTip(), "Cycle the power to the relay");
}

// Second: 1 the switch, 2 "Power Cycle".
INSTANTIATE_TEST_SUITE_P(Permissions, RelayPermissionTest,
                         ::testing::Values(std::pair{0, 3}, std::pair{1, 2}, std::pair{2, 1}));

TEST_F(RelayControlTest, FollowsARenamedRelayAndAChangedPermissionAtTheNextStatusChange)
{
    auto control = MakeControl(3);
    EXPECT_EQ(LabelText(*control, "relayName"), "Digital Display");
    engine.settings.FindRelaySetting(3)->SetName("Projector");
    engine.settings.FindRelaySetting(3)->SetPermission(RelayPermissionCycle);
    EXPECT_EQ(LabelText(*control, "relayName"), "Digital Display");
    ReportRelays({1, 1, 1, 1});
    EXPECT_EQ(LabelText(*control, "relayName"), "Projector");
    EXPECT_TRUE(SwitchButton(*control)->isHidden());
}

TEST_F(RelayControlTest, NamesAnUnnamedRelayByItsNumber)
{
    engine.settings.FindRelaySetting(3)->SetName("");
    auto control = MakeControl(3);
    EXPECT_EQ(LabelText(*control, "relayName"), "Relay 3");
}

TEST_F(RelayControlTest, KeepsTheTemplateAndBothButtonsForARelayWithoutSetting)
{
    auto control = MakeControl(7);
    EXPECT_EQ(LabelText(*control, "relayName"), "Relay");
    EXPECT_FALSE(SwitchButton(*control)->isHidden());
    EXPECT_FALSE(PowerCycleButton(*control)->isHidden());
}

TEST_F(RelayControlTest, StartsDarkAndShowsTheReportedState)
{
    auto control = MakeControl(2);
    EXPECT_EQ(BulbOf(*control), Bulb::Unlit);
    EXPECT_EQ(SwitchOf(*control), Switch::Black);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn on");

    ReportRelays({1, 0, 1, 1});   // 0 is on
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
    EXPECT_EQ(SwitchOf(*control), Switch::Blue);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn off");
}

TEST_F(RelayControlTest, KeepsItsStateWhenTheModelHasNoRecordOfTheRelay)
{
    auto control = MakeControl(2);
    ReportRelays({1, 0, 1, 1});
    ReportRelays({});
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
}

TEST_F(RelayControlTest, DisablesTheSwitchFromTheClickUntilTheAnswerToItsToggle)
{
    auto control = MakeControl(2);
    ReportRelays({1, 0, 1, 1});
    SwitchButton(*control)->click();
    EXPECT_FALSE(SwitchButton(*control)->isEnabled());

    Answer(LinkStatus::Ok, 9, 1, 1);   // relay 1's toggle is not this control's
    EXPECT_FALSE(SwitchButton(*control)->isEnabled());
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);

    Answer(LinkStatus::Ok, 9, 2, 1);
    EXPECT_TRUE(SwitchButton(*control)->isEnabled());
    EXPECT_EQ(BulbOf(*control), Bulb::Unlit);
    EXPECT_EQ(SwitchOf(*control), Switch::Black);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn on");
}

TEST_F(RelayControlTest, ReEnablesTheSwitchAfterAFailedToggleAndKeepsTheState)
{
    auto control = MakeControl(2);
    ReportRelays({1, 0, 1, 1});
    SwitchButton(*control)->click();
    Answer(LinkStatus::Timeout, 9, 2, 1);
    EXPECT_TRUE(SwitchButton(*control)->isEnabled());
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn off");
}

TEST_F(RelayControlTest, FollowsUnsolicitedChangesOfItsOwnRelayOnly)
{
    auto control = MakeControl(2);
    auto other = MakeControl(3);
    ReportRelays({1, 0, 0, 1});

    Unsolicited({3, 1, 0});
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
    EXPECT_EQ(BulbOf(*other), Bulb::Unlit);

    Unsolicited({2, 1});   // cut short: no relay change, whatever its first bytes say
    Unsolicited({2});
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);

    Unsolicited({2, 1, 1});
    EXPECT_EQ(BulbOf(*control), Bulb::Unlit);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn on");

    Unsolicited({2, 0, 7});
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
    EXPECT_EQ(BulbOf(*other), Bulb::Unlit);
}

TEST_F(RelayControlTest, IgnoresAFailureReportOfTheUnsolicitedCommand)
{
    auto control = MakeControl(1);
    ReportRelays({0, 1, 1, 1});
    // The enabling command (code 2, parameter 1) failing: its first byte is no relay change.
    Answer(LinkStatus::Timeout, 2, 1, 0);
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
}

TEST_F(RelayControlTest, PostsNothingBeforeItIsCreated)
{
    CRelayControl control;
    control.SetRelayIndex(2);
    control.SetManager(&engine.manager);
    SwitchButton(control)->setEnabled(false);
    Answer(LinkStatus::Ok, 9, 2, 1);
    EXPECT_FALSE(SwitchButton(control)->isEnabled());
}

// The whole road over a pseudo-terminal: the click puts the toggle frame on the wire, the
// device's answer comes back through the link worker and the manager to the control.
// A stop (a Settings visit) ends the worker with the toggle unanswered: no answer will come,
// so the switch must not wait for one.
TEST_F(RelayControlTest, AToggleDroppedByAStopGivesTheSwitchBack)
{
    auto control = MakeControl(2);
    ReportRelays({1, 0, 1, 1});
    SwitchButton(*control)->click();
    ASSERT_FALSE(SwitchButton(*control)->isEnabled());
    OnWorkerThread([&] { engine.manager.OnLinkThreadEnded(); });
    DeliverPosted();
    EXPECT_TRUE(SwitchButton(*control)->isEnabled());
    EXPECT_EQ(BulbOf(*control), Bulb::Lit) << "the state waits for the next relay status";
}

class RelayControlOnTheWire : public RelayControlTest
{
protected:
    static constexpr int kCom = 77;

    void SetUp() override
    {
        device = std::make_unique<PtyDevice>(kCom);
        ASSERT_TRUE(device->IsOpen());
        link.SetPort(kCom, CQMNetSerialPort::DefaultBaudRate);
        link.SetTiming(1, 5, 150);
        engine.manager.SetLinkEngine(&link);
        ASSERT_TRUE(link.Start());
    }

    void TearDown() override
    {
        link.RequestStop();
        link.WaitForStop();
        engine.manager.SetLinkEngine(nullptr);
    }

    std::unique_ptr<PtyDevice> device;
    CQMNetLink link;
};

TEST_F(RelayControlOnTheWire, SendsTheOppositeStateAndShowsTheConfirmedOne)
{
    auto control = MakeControl(2);
    ReportRelays({1, 0, 1, 1});
    SwitchButton(*control)->click();

    const std::vector<std::uint8_t> frame = device->ReadFrame(2000);
    const std::vector<std::uint8_t> expected{0x02, 0x09, 0x02, 0x02, 0x01, 0x09 ^ 0x02 ^ 0x02 ^ 0x01, 0x03};
    EXPECT_EQ(frame, expected);
    EXPECT_FALSE(SwitchButton(*control)->isEnabled());

    device->WriteFrame(0x09, {});
    ASSERT_TRUE(WaitUntil([&] { return SwitchButton(*control)->isEnabled(); }, 3000));
    EXPECT_EQ(BulbOf(*control), Bulb::Unlit);
    EXPECT_EQ(SwitchButton(*control)->toolTip(), "Click to turn on");
}

TEST_F(RelayControlOnTheWire, APowerCycleShowsItIsUnderWayUntilTheUnitAnswers)
{
    auto control = MakeControl(4);
    PowerCycleButton(*control)->click();
    const std::vector<std::uint8_t> expected{0x02, 0x05, 0x01, 0x04, 0x05 ^ 0x01 ^ 0x04, 0x03};
    EXPECT_EQ(device->ReadFrame(2000), expected);
    EXPECT_FALSE(PowerCycleButton(*control)->isEnabled());
    SpinEvents(50);
    EXPECT_FALSE(PowerCycleButton(*control)->isEnabled());
    device->WriteFrame(0x05, {});
    EXPECT_TRUE(WaitUntil([&] { return PowerCycleButton(*control)->isEnabled(); }, 3000));
}

TEST_F(RelayControlTest, ANotificationAboutAnotherFieldNeverBringsBackAnOlderState)
{
    auto control = MakeControl(2);
    ReportRelays({1, 1, 1, 1});   // the last poll: relay 2 off
    SwitchButton(*control)->click();
    Answer(LinkStatus::Ok, 9, 2, 0);           // the unit confirmed: on
    ASSERT_EQ(BulbOf(*control), Bulb::Lit);

    OnWorkerThread([&] { engine.Status().SetDoorOpen(true); });
    DeliverPosted();
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);

    Unsolicited({2, 1, 0});       // switched off at the site
    OnWorkerThread([&] { engine.Status().SetRssi(-80); });
    DeliverPosted();
    EXPECT_EQ(BulbOf(*control), Bulb::Unlit);

    ReportRelays({1, 0, 1, 1});   // a new poll is newer than all of it
    EXPECT_EQ(BulbOf(*control), Bulb::Lit);
}

TEST_F(RelayControlTest, ANameFromTheFileIsDrawnAsPlainText)
{
    engine.settings.GetRelaySettings()[0]->SetName("<b>Display</b>");
    auto control = MakeControl(1);
    const auto* name = control->findChild<QLabel*>("relayName");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->textFormat(), Qt::PlainText);
    EXPECT_EQ(LabelText(*control, "relayName"), "<b>Display</b>");
    EXPECT_FALSE(SwitchButton(*control)->accessibleName().isEmpty());
}
