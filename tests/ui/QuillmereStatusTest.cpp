#include <gtest/gtest.h>

#include <QPushButton>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#include "UiTestSupport.h"
#include "log/Log.h"
#include "ui/FontUnits.h"
#include "ui/QuillmereStatus.h"
#include "ui/RelayControl.h"
#include "ui/SignualStatic.h"
#include "ui/TasksPane.h"

namespace
{
const char* const kFields[] = {"dateTimeField", "iccidField", "firmwareField", "uptimeField",
                               "gsmField",      "rssiField",  "radioTypeField", "doorField"};

class StatusPage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        page = std::make_unique<CQuillmereStatus>();
        page->SetManager(&engine.manager);
        page->resize(500, 420);
    }

    // A status change as the link worker makes it, then the UI thread's turn.
    void Change(const std::function<void(CQuillmereDeviceStatus&)>& change)
    {
        OnWorkerThread([&] { change(engine.Status()); });
        DeliverPosted();
    }

    QString Field(const char* name) const { return LabelText(*page, name); }

    int GreenBars()
    {
        const QImage image = page->findChild<CSignualStatic*>()->grab().toImage();
        int lit = 0;
        for (int left : {0, 13, 26, 39, 52})
            lit += IsBarGreen(image.pixel(left + 5, 19)) ? 1 : 0;
        return lit;
    }

    EngineFixture engine;
    std::unique_ptr<CQuillmereStatus> page;
};
}

TEST_F(StatusPage, ShowsNotAvailableEverywhereAndGreyBarsBeforeTheFirstPoll)
{
    // The model's starting values (door closed, radio type 0) are no report of the device.
    for (const char* name : kFields)
        EXPECT_EQ(Field(name), "Not Available") << name;
    EXPECT_EQ(GreenBars(), 0);
}

TEST_F(StatusPage, ChangesNothingUntilThePostedRefreshRuns)
{
    OnWorkerThread([&] { engine.Status().SetUptime(59); });
    EXPECT_EQ(Field("uptimeField"), "Not Available");
    DeliverPosted();
    EXPECT_EQ(Field("uptimeField"), "0 hours 0 minutes 59 seconds");
}

TEST_F(StatusPage, SpellsUptimeInHoursMinutesAndSeconds)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetUptime(3661); });
    EXPECT_EQ(Field("uptimeField"), "1 hours 1 minutes 1 seconds");
    Change([](CQuillmereDeviceStatus& s) { s.SetUptime(90061); });
    EXPECT_EQ(Field("uptimeField"), "25 hours 1 minutes 1 seconds");
    Change([](CQuillmereDeviceStatus& s) { s.SetUptime(0); });
    EXPECT_EQ(Field("uptimeField"), "Not Available");
}

TEST_F(StatusPage, ShowsFirmwareOnlyWithAMajorVersion)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetFirmware(0, 4, 17); });
    EXPECT_EQ(Field("firmwareField"), "Not Available");
    Change([](CQuillmereDeviceStatus& s) { s.SetFirmware(2, 10, 305); });
    EXPECT_EQ(Field("firmwareField"), "2.10.305");
}

TEST_F(StatusPage, NamesTheRadioTypeOrSaysItIsUnknown)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetRadioType(0); });
    EXPECT_EQ(Field("radioTypeField"), "2G");
    Change([](CQuillmereDeviceStatus& s) { s.SetRadioType(1); });
    EXPECT_EQ(Field("radioTypeField"), "3G");
    Change([](CQuillmereDeviceStatus& s) { s.SetRadioType(2); });
    EXPECT_EQ(Field("radioTypeField"), "Not Available");
    Change([](CQuillmereDeviceStatus& s) { s.SetRadioType(255); });
    EXPECT_EQ(Field("radioTypeField"), "Not Available");
}

TEST_F(StatusPage, ShowsGsmDoorAndIccid)
{
    Change([](CQuillmereDeviceStatus& s) {
        s.SetGsmActive(true);
        s.SetDoorOpen(true);
        s.SetIccid("89441000300012345678");
    });
    EXPECT_EQ(Field("gsmField"), "Active");
    EXPECT_EQ(Field("doorField"), "Open");
    EXPECT_EQ(Field("iccidField"), "89441000300012345678");

    Change([](CQuillmereDeviceStatus& s) {
        s.SetGsmActive(false);
        s.SetDoorOpen(false);
        s.SetIccid("");
    });
    EXPECT_EQ(Field("gsmField"), "Inactive");
    EXPECT_EQ(Field("doorField"), "Closed");
    EXPECT_EQ(Field("iccidField"), "Not Available");
}

struct RssiCase
{
    std::int32_t dbm;
    const char* text;
    int greenBars;
};

class StatusPageRssi : public StatusPage, public ::testing::WithParamInterface<RssiCase>
{
};

TEST_P(StatusPageRssi, ShowsTheStrengthAsTextAndOnTheGauge)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetRssi(GetParam().dbm); });
    EXPECT_EQ(Field("rssiField"), GetParam().text);
    EXPECT_EQ(GreenBars(), GetParam().greenBars);
}

INSTANTIATE_TEST_SUITE_P(Values, StatusPageRssi,
                         ::testing::Values(RssiCase{-1000, "Not Available", 0}, RssiCase{-2000, "Not Available", 0},
                                           RssiCase{-999, "-999 dBm", 0}, RssiCase{-113, "-113 dBm", 0},
                                           RssiCase{-110, "-110 dBm", 1}, RssiCase{-105, "-105 dBm", 2},
                                           RssiCase{-95, "-95 dBm", 3}, RssiCase{-83, "-83 dBm", 4},
                                           RssiCase{-75, "-75 dBm", 5}, RssiCase{99, "99 dBm", 5}));

class StatusPageClock : public StatusPage
{
protected:
    void SetUp() override
    {
        StatusPage::SetUp();
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        m_oldTz = m_hadTz ? tz : "";
        m_oldLocale = std::setlocale(LC_TIME, nullptr);
        setenv("TZ", "UTC", 1);
        tzset();
        std::setlocale(LC_TIME, "C");
    }

    void TearDown() override
    {
        std::setlocale(LC_TIME, m_oldLocale.c_str());
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadTz = false;
    std::string m_oldTz;
    std::string m_oldLocale;
};

TEST_F(StatusPageClock, ShowsTheDeviceClockInTheUsersLocale)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetDateTime(1700000000); });
    EXPECT_EQ(Field("dateTimeField"), "11/14/23 22:13:20");
}

TEST_F(StatusPageClock, ShowsNotAvailableForZeroAndInvalidForATimeBeyondTheCalendar)
{
    Change([](CQuillmereDeviceStatus& s) { s.SetDateTime(1700000000); });
    Change([](CQuillmereDeviceStatus& s) { s.SetDateTime(0); });
    EXPECT_EQ(Field("dateTimeField"), "Not Available");
    Change([](CQuillmereDeviceStatus& s) { s.SetDateTime(std::numeric_limits<std::time_t>::max()); });
    EXPECT_EQ(Field("dateTimeField"), "Invalid DateTime");
}

TEST_F(StatusPage, OffersAResetButtonThatResetsTheDeviceWithoutAsking)
{
    CLog log;
    engine.manager.SetLog(&log);
    log.Open();
    ASSERT_TRUE(log.IsOpen());

    auto* reset = page->findChild<QPushButton*>("resetButton");
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(reset->text(), "Reset");
    EXPECT_EQ(reset->toolTip(), "Reset the device");
    reset->click();

    const std::vector<std::string> lines = log.ReadNewestLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Manual reset of the device was triggered."), std::string::npos) << lines[0];
    engine.manager.SetLog(nullptr);
}

TEST_F(StatusPage, HoldsOneRelayControlPerRelaySettingInTheRelaysGroup)
{
    CTasksPane* pane = page->findChild<CTasksPane*>();
    ASSERT_NE(pane, nullptr);
    ASSERT_EQ(pane->GetGroupCount(), 1);
    EXPECT_EQ(pane->GetGroupName(0), "Relays");
    ASSERT_EQ(pane->GetTaskCount(0), 4);
    const char* const names[] = {"ISP Equipment", "Player", "Digital Display", "Aux. Power Control"};
    for (int n = 0; n < 4; ++n)
    {
        QWidget* control = pane->GetTaskWindow(0, n);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(LabelText(*control, "relayName"), names[n]);
        EXPECT_EQ(control->height(), FontUnits::Down(control, 38));
    }
}

TEST(StatusPageLifetime, DetachesItselfAndItsRelayControlsWhenDestroyed)
{
    EngineFixture engine;
    const std::size_t statusObservers = engine.Status().GetObserverCount();
    const std::size_t managerObservers = engine.manager.GetObserverCount();
    {
        CQuillmereStatus page;
        page.SetManager(&engine.manager);
        EXPECT_EQ(engine.Status().GetObserverCount(), statusObservers + 5);   // the page and four relays
        EXPECT_EQ(engine.manager.GetObserverCount(), managerObservers + 5);   // the page and four relays
    }
    EXPECT_EQ(engine.Status().GetObserverCount(), statusObservers);
    EXPECT_EQ(engine.manager.GetObserverCount(), managerObservers);
    // Under the address sanitizer a page still listed would be a use after free here.
    OnWorkerThread([&] { engine.Status().SetRssi(-80); });
    DeliverPosted();
}
