#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <thread>

#include "SettingsTestSupport.h"
#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "device/QuillmereManager.h"
#include "link/QMNetLink.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/ManualTimerService.h"
#include "tests/support/TempDataFolder.h"
#include "ui/QuillmereSettings.h"
#include "ui/SpinEdit.h"

// The settings page with the manager, the link and the simulated unit: entering the page
// silences the line, "Get Status" talks to the unit directly, leaving restarts the poll with
// the interval just typed, and the settings file written afterwards holds the edit.
TEST(SettingsPageWithUnit, StopsTheLinkTestsTheUnitAndRestartsWithTheEdits)
{
    TempDataFolder folder;
    ASSERT_TRUE(CreateDirectoryTree(JoinPath(GetDataFolder(), "ports")));
    DevSimProcess unit({"--data-folder", GetDataFolder(), "--com", "7"}, 60);
    ASSERT_TRUE(unit.Started()) << unit.Error();

    CAppSettings settings;
    ManualTimerService timers;
    CQuillmereManager manager;
    CQMNetLink link;
    manager.SetSettings(&settings);
    manager.SetLinkEngine(&link);
    manager.SetTimerService(&timers);
    manager.SetLinkTiming({3, 20, 300});
    settings.SetComPort(7);

    manager.Connect();
    manager.StartPolling();
    ASSERT_TRUE(unit.WaitForReceivedFrames(10, 5000));

    CQuillmereSettings page;
    page.SetPortSource([] { return PortEntries({"COM1", "COM7"}); });
    page.SetManager(&manager);
    page.show();
    page.OnSetActive();
    // The wait dialog ends with the worker; afterwards the line stays silent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (manager.IsLinkRunning() && std::chrono::steady_clock::now() < deadline)
        QTest::qWait(10);
    ASSERT_FALSE(manager.IsLinkRunning());
    QTest::qWait(200);
    const std::size_t framesWhileShown = unit.ReceivedFrames().size();
    QTest::qWait(500);
    EXPECT_EQ(unit.ReceivedFrames().size(), framesWhileShown);

    QTest::mouseClick(Child<QPushButton>(page, "getStatusButton"), Qt::LeftButton);
    EXPECT_EQ(Child<QLabel>(page, "resultText")->text(), "Successfull connection.");
    ASSERT_TRUE(unit.WaitForReceivedFrames(framesWhileShown + 1, 2000));

    auto* interval = Child<CSpinEdit>(page, "intervalSpin");
    interval->selectAll();
    QTest::keyClicks(interval, QStringLiteral("12"));
    page.OnKillActive();
    EXPECT_EQ(timers.PeriodOf(manager.GetPollTimer()), 12u * 60000u);
    // Leaving starts the link again: the two enables and a whole poll reach the unit.
    EXPECT_TRUE(unit.WaitForReceivedFrames(framesWhileShown + 1 + 10, 5000));

    manager.Stop();
    manager.WaitForThreads();
    ASSERT_TRUE(settings.Save());
    CAppSettings reloaded;
    ASSERT_TRUE(reloaded.Load());
    EXPECT_EQ(reloaded.GetStatusPollIntervalInMinutes(), 12);
    EXPECT_EQ(reloaded.GetComPort(), 7);
}
