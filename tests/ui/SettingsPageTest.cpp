#include <QApplication>
#include <QComboBox>
#include <QScrollBar>
#include <QWheelEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "SettingsTestSupport.h"
#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereManager.h"
#include "protocol/StatusCodes.h"
#include "ui/ProgressDialog.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "netmon/NetworkMonitor.h"
#include "ui/NetworkMonitorEditControl.h"
#include "tests/support/ManualTimerService.h"
#include "tests/support/QtWait.h"
#include "tests/support/TempDataFolder.h"
#include "ui/QuillmereSettings.h"
#include "ui/RelayEditControl.h"
#include "ui/SpinEdit.h"
#include "ui/TasksPane.h"

namespace
{
void DeliverAll()
{
    // Twice: a post may answer with posts of its own (page to monitor editors).
    for (int round = 0; round < 2; ++round)
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class SettingsPageTest : public ::testing::Test
{
protected:
    SettingsPageTest()
    {
        manager.SetSettings(&settings);
        manager.SetTimerService(&timers);
    }

    ~SettingsPageTest() override { page.reset(); }

    void Open(std::vector<std::string> ports = {"COM1", "COM2", "COM10"})
    {
        page = std::make_unique<CQuillmereSettings>();
        page->SetPortSource([ports] { return PortEntries(ports); });
        page->SetManager(&manager);
        page->resize(520, 460);
        page->show();
        page->OnSetActive();   // the page is made when its tab is first shown
    }

    QComboBox* Combo(const char* name) { return Child<QComboBox>(*page, name); }
    std::vector<QString> Items(QComboBox* list)
    {
        std::vector<QString> items;
        for (int i = 0; i < list->count(); ++i)
            items.push_back(list->itemText(i));
        return items;
    }

    TempDataFolder folder;
    CAppSettings settings;
    ManualTimerService timers;
    CQuillmereManager manager;
    std::unique_ptr<CQuillmereSettings> page;
};
}

TEST_F(SettingsPageTest, PortsAreListedAsTextAndTheConfiguredNumberIsSelected)
{
    settings.SetComPort(10);
    Open();
    EXPECT_EQ(Items(Combo("portList")), (std::vector<QString>{"COM1", "COM10", "COM2"}));
    EXPECT_EQ(Combo("portList")->currentText(), QStringLiteral("COM10"));
    EXPECT_EQ(settings.GetComPort(), 10);
}

TEST_F(SettingsPageTest, AtMostTwentyPortsAreListed)
{
    std::vector<std::string> ports;
    for (int n = 1; n <= 25; ++n)
        ports.push_back("COM" + std::to_string(n));
    Open(ports);
    EXPECT_EQ(Combo("portList")->count(), 20);
    EXPECT_EQ(Combo("portList")->findText(QStringLiteral("COM21")), -1);
}

TEST_F(SettingsPageTest, AConfiguredPortNotListedSelectsNothingUntilOneIsPicked)
{
    settings.SetComPort(5);
    Open();
    EXPECT_EQ(Combo("portList")->currentIndex(), -1);
    EXPECT_EQ(settings.GetComPort(), 5);
    Combo("portList")->setCurrentIndex(Combo("portList")->findText(QStringLiteral("COM2")));
    EXPECT_EQ(settings.GetComPort(), 2);
}

TEST_F(SettingsPageTest, NoPortsMeansAnEmptyListAndNoSelection)
{
    Open({});
    EXPECT_EQ(Combo("portList")->count(), 0);
    EXPECT_EQ(Combo("portList")->currentIndex(), -1);
}

TEST_F(SettingsPageTest, TypingZeroOrSeventyFiveLeavesTheLastIntervalInRange)
{
    Open();
    auto* interval = Child<CSpinEdit>(*page, "intervalSpin");
    EXPECT_EQ(interval->value(), 30);
    interval->selectAll();
    QTest::keyClick(interval, Qt::Key_1);
    QTest::keyClick(interval, Qt::Key_2);
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 12);
    interval->selectAll();
    QTest::keyClick(interval, Qt::Key_0);
    EXPECT_EQ(interval->GetText(), QStringLiteral("0"));
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 12);
    interval->selectAll();
    QTest::keyClick(interval, Qt::Key_7);
    QTest::keyClick(interval, Qt::Key_5);
    EXPECT_EQ(interval->GetText(), QStringLiteral("75"));
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 7);
    // The buttons and arrow keys keep to 1..60.
    interval->selectAll();
    QTest::keyClicks(interval, QStringLiteral("59"));
    interval->stepUp();
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 60);
    QTest::keyClick(interval, Qt::Key_Up);
    EXPECT_EQ(interval->value(), 60);
    QTest::keyClick(interval, Qt::Key_Down);
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 59);
}

TEST_F(SettingsPageTest, TheDebugWarningFollowsTheLogLevel)
{
    Open();
    auto* warning = Child<QLabel>(*page, "debugWarning");
    EXPECT_EQ(warning->text(), QStringLiteral("Debug logging will cause an increase in log writes."));
    EXPECT_EQ(Items(Combo("logLevelList")), (std::vector<QString>{"Events & Errors", "Debug"}));
    EXPECT_TRUE(warning->isHidden());
    Combo("logLevelList")->setCurrentIndex(1);
    EXPECT_EQ(settings.GetLogLevel(), LogLevelDebug);
    EXPECT_FALSE(warning->isHidden());
    Combo("logLevelList")->setCurrentIndex(0);
    EXPECT_EQ(settings.GetLogLevel(), LogLevelEventsAndErrors);
    EXPECT_TRUE(warning->isHidden());
}

TEST_F(SettingsPageTest, AStoredDebugLevelShowsTheWarningAtOnce)
{
    settings.SetLogLevel(LogLevelDebug);
    Open();
    EXPECT_FALSE(Child<QLabel>(*page, "debugWarning")->isHidden());
}

TEST_F(SettingsPageTest, FillingTheControlsRaisesNothing)
{
    CountingObserver<CEventArgs> changes;
    settings.Attach(&changes);
    Open();
    EXPECT_EQ(changes.total, 0u);
    EXPECT_FALSE(settings.IsSuppressingNotifications());
    settings.Detach(&changes);
}

TEST_F(SettingsPageTest, GetStatusShowsTheErrorTextOfAFailedOpen)
{
    // COM3 is a link to nothing: the open fails.
    CreateDirectoryTree(JoinPath(GetDataFolder(), "ports"));
    ASSERT_EQ(symlink("/nonexistent/quillmere-test-port", JoinPath(JoinPath(GetDataFolder(), "ports"), "COM3").c_str()),
              0);
    settings.SetComPort(3);
    CQMNetLink link;
    manager.SetLinkEngine(&link);
    const LinkStatus expected = manager.TestConnection();
    ASSERT_NE(expected, LinkStatus::Ok);
    Open();
    Child<QPushButton>(*page, "getStatusButton")->click();
    const QString text = Child<QLabel>(*page, "resultText")->text();
    EXPECT_EQ(text.toStdString(), GetErrorText(expected));
    EXPECT_FALSE(text.isEmpty());
    EXPECT_NE(text, QStringLiteral("Successfull connection."));
    page.reset();
    manager.SetLinkEngine(nullptr);
}

TEST_F(SettingsPageTest, GroupsHoldOneEditorPerRelayAndPerMonitor)
{
    Open();
    CTasksPane* pane = Pane(*page);
    ASSERT_EQ(pane->GetGroupCount(), 2);
    EXPECT_EQ(pane->GetGroupName(0), QStringLiteral("Relays"));
    EXPECT_EQ(pane->GetGroupName(1), QStringLiteral("Network Monitors"));
    EXPECT_EQ(pane->GetTaskCount(0), 4);
    EXPECT_EQ(pane->GetTaskCount(1), 5);   // "Add Network Monitor" and four editors
    EXPECT_TRUE(pane->IsGroupCollapsed(1));
    EXPECT_FALSE(pane->IsGroupCollapsed(0));
    EXPECT_EQ(Child<QLabel>(*RelayEditors(*page)[2], "relayLabel")->text(), QStringLiteral("Relay 3"));
    EXPECT_EQ(Items(Child<QComboBox>(*RelayEditors(*page)[0], "relayPermission")),
              (std::vector<QString>{"Both", "Cycle", "On/Off"}));
}

TEST_F(SettingsPageTest, RenamingARelayReachesEveryMonitorEditor)
{
    Open();
    const std::vector<CNetworkMonitorEditControl*> editors = MonitorEditors(*page);
    int renames = 0;
    QObject::connect(RelayEditors(*page)[1], &CRelayEditControl::NameChanged, [&renames] { ++renames; });
    auto* name = Child<QLineEdit>(*RelayEditors(*page)[1], "relayName");
    LeaveField(name);   // unchanged: nothing signalled
    EXPECT_EQ(renames, 0);
    name->setText(QStringLiteral("Media Player"));
    LeaveField(name);
    EXPECT_EQ(renames, 1);
    EXPECT_EQ(settings.GetRelaySettings()[1]->GetName(), "Media Player");
    ASSERT_EQ(editors.size(), 4u);
    for (CNetworkMonitorEditControl* editor : editors)
        EXPECT_EQ(Child<QComboBox>(*editor, "relayList")->itemText(1), QStringLiteral("Media Player"));
}

TEST_F(SettingsPageTest, RemovingTwoMonitorsOneAfterTheOtherRemovesExactlyThose)
{
    Open();
    CTasksPane* pane = Pane(*page);
    const int group = kMonitorGroup;
    pane->SetGroupCollapsed(group, false);
    std::vector<CNetworkMonitorEditControl*> editors = MonitorEditors(*page);
    ASSERT_EQ(editors.size(), 4u);
    Child<QToolButton>(*editors[0], "removeButton")->click();
    DeliverAll();
    editors = MonitorEditors(*page);
    ASSERT_EQ(editors.size(), 3u);
    Child<QToolButton>(*editors[0], "removeButton")->click();
    DeliverAll();

    ASSERT_EQ(pane->GetTaskCount(group), 3);
    std::vector<std::string> left;
    for (int task = 1; task < pane->GetTaskCount(group); ++task)
    {
        auto* editor = qobject_cast<CNetworkMonitorEditControl*>(pane->GetTaskWindow(group, task));
        ASSERT_NE(editor, nullptr);
        left.push_back(editor->GetMonitor()->GetEventName());
    }
    EXPECT_EQ(left, (std::vector<std::string>{"VIP", "Web cam"}));
    ASSERT_EQ(settings.GetNetworkMonitors().size(), 2u);
    EXPECT_EQ(settings.GetNetworkMonitors()[0]->GetEventName(), "VIP");
}

TEST_F(SettingsPageTest, AddNetworkMonitorAppendsAnEditorForANewMonitor)
{
    Open();
    page->AddNetworkMonitor();
    CTasksPane* pane = Pane(*page);
    EXPECT_EQ(settings.GetNetworkMonitors().size(), 5u);
    ASSERT_EQ(pane->GetTaskCount(kMonitorGroup), 6);
    auto* editor = qobject_cast<CNetworkMonitorEditControl*>(pane->GetTaskWindow(kMonitorGroup, 5));
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->GetMonitor(), settings.GetNetworkMonitors().back().get());
    EXPECT_TRUE(editor->isVisible());
}

TEST_F(SettingsPageTest, EachEditWritesOneSettingsEventLine)
{
    CLog log;
    log.Open();
    ASSERT_TRUE(log.IsOpen());
    manager.SetLog(&log);
    Open();
    const std::string path = JoinPath(GetDataFolder(), CLog::kFileName);
    const auto eventLines = [&] {
        std::istringstream lines(ReadWholeFile(path));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);)
        {
            if (line.find(",Event,") != std::string::npos)
                found.push_back(line);
        }
        return found;
    };
    EXPECT_TRUE(eventLines().empty());

    auto* interval = Child<CSpinEdit>(*page, "intervalSpin");
    interval->selectAll();
    QTest::keyClick(interval, Qt::Key_9);
    ASSERT_EQ(eventLines().size(), 1u);
    EXPECT_NE(eventLines()[0].find("<StatusPollIntervalInMinutes>9</StatusPollIntervalInMinutes>"), std::string::npos)
        << eventLines()[0];

    Combo("logLevelList")->setCurrentIndex(1);
    EXPECT_EQ(eventLines().size(), 2u);
    Child<QComboBox>(*RelayEditors(*page)[0], "relayPermission")->setCurrentIndex(0);
    EXPECT_EQ(eventLines().size(), 3u);
    auto* threshold = Child<CSpinEdit>(*MonitorEditors(*page)[0], "thresholdSpin");
    threshold->stepUp();
    EXPECT_EQ(eventLines().size(), 4u);
    Combo("portList")->setCurrentIndex(0);
    EXPECT_EQ(eventLines().size(), 5u);
    manager.SetLog(nullptr);
}

TEST_F(SettingsPageTest, EnteringStopsTheManagerAndLeavingStartsItWithTheNewValues)
{
    Open();
    manager.StartPolling();
    manager.StartMonitorTimers();
    EXPECT_EQ(timers.ActiveCount(), 5u);
    page->OnSetActive();
    EXPECT_EQ(timers.ActiveCount(), 0u);
    EXPECT_EQ(manager.GetPollTimer(), 0u);

    auto* interval = Child<CSpinEdit>(*page, "intervalSpin");
    interval->selectAll();
    QTest::keyClick(interval, Qt::Key_2);
    page->AddNetworkMonitor();
    page->OnKillActive();
    EXPECT_EQ(timers.ActiveCount(), 6u);
    EXPECT_EQ(timers.PeriodOf(manager.GetPollTimer()), 2u * 60000u);
}

TEST_F(SettingsPageTest, LeavingTheTabAppliesANameStillBeingTyped)
{
    Open();
    page->OnSetActive();
    Child<QLineEdit>(*RelayEditors(*page)[0], "relayName")->setText(QStringLiteral("Router"));
    page->OnKillActive();
    EXPECT_EQ(settings.GetRelaySettings()[0]->GetName(), "Router");
}

TEST_F(SettingsPageTest, NoWaitDialogWithoutASelectedPort)
{
    settings.SetComPort(99);
    Open();
    page->OnSetActive();
    QTest::qWait(CQuillmereSettings::kWaitDialogDelayMs * 3);
    EXPECT_EQ(WaitDialog(*page), nullptr);
}

TEST_F(SettingsPageTest, NoWaitDialogWhenTheWorkerHasAlreadyEnded)
{
    settings.SetComPort(1);
    CQMNetLink link;
    manager.SetLinkEngine(&link);   // never started: no end will ever be reported
    Open();
    page->OnSetActive();
    QTest::qWait(CQuillmereSettings::kWaitDialogDelayMs * 3);
    EXPECT_EQ(WaitDialog(*page), nullptr);
    page.reset();
    manager.SetLinkEngine(nullptr);
}

TEST_F(SettingsPageTest, TheWaitDialogShowsUntilTheLinkWorkerHasEnded)
{
    // A stopped worker ends within milliseconds unless something holds it, as a close that
    // waits for an adapter to send what it was given: here its last callback is held until
    // the dialog has been seen, so it is still running when the dialog is due, however slow
    // the machine.
    int master = -1;
    int slave = -1;
    char slaveName[128] = {};
    ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
    const std::string ports = JoinPath(GetDataFolder(), "ports");
    ASSERT_TRUE(CreateDirectoryTree(ports));
    ASSERT_EQ(symlink(slaveName, JoinPath(ports, "COM7").c_str()), 0);
    settings.SetComPort(7);

    CQMNetLink link;
    manager.SetLinkEngine(&link);
    link.SetPort(7, static_cast<unsigned>(settings.GetBaudRate()));
    link.SetTiming(1, 50, 10000);
    Open({"COM7"});   // its first showing stops the manager, which empties the queue
    std::atomic<bool> release{false};
    link.SetResponseCallback([&](LinkStatus status, int, CSerialCommand*, const unsigned char*, std::size_t) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (status == LinkStatus::Stopped && !release && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    // A command on the wire, so the stop finds the worker mid-exchange.
    const auto startMidExchange = [&] {
        auto command = std::make_unique<CSerialCommand>();
        command->Code = 1;
        link.QueueCommand(std::move(command));
        ASSERT_TRUE(link.Start());
        pollfd wire{master, POLLIN, 0};
        ASSERT_EQ(poll(&wire, 1, 2000), 1);
        char sent[256];
        while (poll(&wire, 1, 0) == 1 && read(master, sent, sizeof sent) > 0)
        {
        }
        ASSERT_TRUE(link.IsRunning());
    };
    startMidExchange();

    page->OnSetActive();
    ASSERT_TRUE(WaitUntil([&] { return WaitDialog(*page) != nullptr; }, 1000));
    EXPECT_EQ(WaitDialog(*page)->MessageText(), QStringLiteral("Shutting down device connection.  Please wait ..."));
    EXPECT_TRUE(WaitDialog(*page)->isVisible());
    EXPECT_TRUE(WaitDialog(*page)->IsAdvancing());
    release = true;
    EXPECT_TRUE(WaitUntil([&] { return WaitDialog(*page) == nullptr; }, 8000));
    EXPECT_FALSE(link.IsRunning());

    // Entered and left again at once: leaving never waits for the old worker, the new run
    // follows it.
    page->OnKillActive();
    link.RequestStop();
    link.WaitForStop();
    startMidExchange();
    release = false;
    QElapsedTimer entering;
    entering.start();
    page->OnSetActive();
    const qint64 enterMs = entering.elapsed();
    QElapsedTimer leaving;
    leaving.start();
    page->OnKillActive();
    const qint64 leaveMs = leaving.elapsed();
    std::printf("Settings page with the unit silent mid-exchange: entering took %lld ms, leaving %lld ms\n",
                static_cast<long long>(enterMs), static_cast<long long>(leaveMs));
    EXPECT_LT(enterMs, 100);
    EXPECT_LT(leaveMs, 100);
    EXPECT_TRUE(link.IsEnding());
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return !link.IsEnding(); }, 8000));
    timers.Advance(CQuillmereManager::kConnectRetryMs);
    EXPECT_TRUE(link.IsRunning());
    manager.Stop();
    link.WaitForStop();
    manager.SetLinkEngine(nullptr);
    page.reset();
    close(slave);
    close(master);
}

TEST_F(SettingsPageTest, IsMadeWhenFirstShownAndReadsThePortsAgainAtEveryEntry)
{
    std::vector<std::string> ports{"COM1", "COM2"};
    settings.SetComPort(1);
    page = std::make_unique<CQuillmereSettings>();
    page->SetPortSource([&ports] { return PortEntries(ports); });
    page->SetManager(&manager);
    // Not shown yet: nothing read, no editor made.
    EXPECT_EQ(Combo("portList")->count(), 0);
    EXPECT_EQ(Pane(*page)->GetGroupCount(), 0);

    page->show();
    page->OnSetActive();
    ASSERT_EQ(Items(Combo("portList")), (std::vector<QString>{"COM1", "COM2"}));
    Combo("portList")->setCurrentIndex(1);   // the operator picks COM2
    page->OnKillActive();

    ports = {"COM1", "COM2", "COM3"};          // an adapter plugged in meanwhile
    page->OnSetActive();
    EXPECT_EQ(Items(Combo("portList")), (std::vector<QString>{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(Combo("portList")->currentText(), QStringLiteral("COM2"));
    EXPECT_EQ(settings.GetComPort(), 2);
    EXPECT_EQ(Pane(*page)->GetGroupCount(), 2);
}

TEST_F(SettingsPageTest, TheConnectionTestsResultIsClearedWhenThePageIsEnteredAgain)
{
    Open();
    Child<QPushButton>(*page, "getStatusButton")->click();   // no link: an error text
    ASSERT_FALSE(Child<QLabel>(*page, "resultText")->text().isEmpty());
    page->OnKillActive();
    page->OnSetActive();
    EXPECT_TRUE(Child<QLabel>(*page, "resultText")->text().isEmpty());
}

TEST_F(SettingsPageTest, ANewMonitorsEditorScrollsIntoViewWithItsNameReadyForTyping)
{
    Open();
    QApplication::setActiveWindow(page.get());
    page->AddNetworkMonitor();
    CTasksPane* pane = Pane(*page);
    EXPECT_FALSE(pane->IsGroupCollapsed(kMonitorGroup));
    std::vector<CNetworkMonitorEditControl*> editors = MonitorEditors(*page);
    ASSERT_EQ(editors.size(), 5u);
    CNetworkMonitorEditControl* added = editors.back();
    const QRect shown = added->geometry().translated(0, -pane->verticalScrollBar()->value());
    EXPECT_TRUE(pane->viewport()->rect().contains(shown)) << "editor at " << shown.y() << ", view "
                                                         << pane->viewport()->height();
    EXPECT_TRUE(Child<QLineEdit>(*added, "eventName")->hasFocus());
}

TEST_F(SettingsPageTest, TheWheelOverAFieldWithoutTheKeyboardChangesNoSettingAndGoesOnToThePane)
{
    Open();
    CountingObserver<CEventArgs> changes;
    settings.Attach(&changes);
    Pane(*page)->SetGroupCollapsed(kMonitorGroup, false);
    QCoreApplication::processEvents();
    // The keyboard is on a button; a field under the pointer does not have it.
    QApplication::setActiveWindow(page.get());
    Child<QPushButton>(*page, "getStatusButton")->setFocus();
    // A wheel event the field leaves unaccepted is handed on to its parents by the
    // application, up to the scroll area (only for real input, so not for this one).
    const auto wheelDown = [](QWidget* field) {
        const QPointF at(field->width() / 2.0, field->height() / 2.0);
        QWheelEvent wheel(at, field->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(field, &wheel);
        return wheel.isAccepted();
    };
    const QString port = Combo("portList")->currentText();
    EXPECT_FALSE(wheelDown(Combo("portList")));
    EXPECT_FALSE(wheelDown(Combo("logLevelList")));
    EXPECT_FALSE(wheelDown(Child<CSpinEdit>(*page, "intervalSpin")));
    EXPECT_FALSE(wheelDown(Child<QComboBox>(*RelayEditors(*page)[0], "relayPermission")));
    EXPECT_FALSE(wheelDown(Child<QComboBox>(*MonitorEditors(*page)[0], "actionList")));
    EXPECT_EQ(changes.total, 0u);
    EXPECT_EQ(Combo("portList")->currentText(), port);
    EXPECT_EQ(Combo("logLevelList")->currentIndex(), 0);
    settings.Detach(&changes);
}

TEST_F(SettingsPageTest, ChoosingAUsbAdapterLinksItsStableNameAndStoresThatNumber)
{
    const std::string links = JoinPath(folder.Root(), "ports");
    const std::string stable = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0";
    std::vector<CSerialPortList::Device> devices{{"/dev/ttyS0", "", "", ""},
                                                 {"/dev/ttyUSB0", "FT232R USB UART", "A10K3Z", stable}};
    settings.SetComPort(5);
    page = std::make_unique<CQuillmereSettings>();
    page->SetPortSource([&] { return CSerialPortList::GetPorts(links, devices); }, links);
    page->SetManager(&manager);
    page->show();
    page->OnSetActive();
    // The configured port is not there: the box says so instead of staying blank.
    EXPECT_EQ(Combo("portList")->currentIndex(), -1);
    EXPECT_EQ(Combo("portList")->placeholderText(), QStringLiteral("COM5 \u2013 not found"));

    Combo("portList")->setCurrentIndex(Combo("portList")->findText(QStringLiteral("COM33"), Qt::MatchStartsWith));
    EXPECT_EQ(settings.GetComPort(), CSerialPortList::FirstLinkNumber);
    char target[256] = {};
    ASSERT_GT(readlink(JoinPath(links, "COM97").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), stable);
    EXPECT_TRUE(Combo("portList")->currentText().startsWith(QStringLiteral("COM97 ")));
    EXPECT_TRUE(Combo("portList")->placeholderText().isEmpty());

    // A second adapter plugged in: the list is read again as it drops down, and the choice
    // stays on the link.
    devices.push_back({"/dev/ttyUSB1", "CP2102", "B77", "/dev/serial/by-id/usb-CP2102_B77"});
    Combo("portList")->showPopup();
    Combo("portList")->hidePopup();
    EXPECT_EQ(Combo("portList")->count(), 4);
    EXPECT_TRUE(Combo("portList")->currentText().startsWith(QStringLiteral("COM97 ")));
    EXPECT_EQ(settings.GetComPort(), 97);
}
