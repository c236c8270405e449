#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <thread>

#include "tests/support/QtWait.h"
#include "SheetFixture.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "protocol/StatusCodes.h"
#include "log/NowText.h"
#include "ui/QuillmereSettings.h"
#include "ui/StatusLine.h"
#include "core/EventArgs.h"
#include "ui/TrayIcon.h"

namespace
{
std::unique_ptr<CCommandResponse> Response(int code, LinkStatus status)
{
    CSerialCommand command;
    command.Code = static_cast<std::uint8_t>(code);
    const unsigned char payload[8] = {};
    return MakeCommandResponse(code, &command, status, payload, sizeof payload);
}

QAction* FindAction(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

QMenu* FindMenu(QMenuBar* bar, const QString& title)
{
    for (QAction* action : bar->actions())
        if (action->menu() != nullptr && action->text() == title)
            return action->menu();
    return nullptr;
}

// The status line's two lines: the date and time, then the message.
std::pair<std::string, std::string> Lines(const CStatusLine* line)
{
    const std::string text = line->Text().toStdString();
    const auto cut = text.find('\n');
    if (cut == std::string::npos)
        return {text, {}};
    return {text.substr(0, cut), text.substr(cut + 1)};
}
}

TEST_F(SheetTest, HasTheThreePagesInOrderAndTheMenusOfTheProgram)
{
    CQuillmereSheet& sheet = MakeSheet();
    ASSERT_EQ(TabsOf(sheet)->count(), 3);
    EXPECT_EQ(TabsOf(sheet)->tabText(0), "Status");
    EXPECT_EQ(TabsOf(sheet)->tabText(1), "Log");
    EXPECT_EQ(TabsOf(sheet)->tabText(2), "Settings");
    EXPECT_EQ(sheet.windowTitle(), "Quillmere Monitor");

    QMenu* file = FindMenu(sheet.menuBar(), "&File");
    QMenu* help = FindMenu(sheet.menuBar(), "&Help");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(help, nullptr);
    EXPECT_NE(FindAction(file, "&Update Firmware"), nullptr);
    EXPECT_NE(FindAction(file, "E&xit"), nullptr);
    EXPECT_NE(FindAction(help, "&View Help"), nullptr);
    EXPECT_NE(FindAction(help, "&About"), nullptr);
    ASSERT_EQ(TrayOf(sheet)->Menu()->actions().size(), 2);
    EXPECT_EQ(TrayOf(sheet)->Menu()->actions()[0]->text(), "&Open");
    EXPECT_EQ(TrayOf(sheet)->Menu()->actions()[1]->text(), "E&xit");
}

TEST_F(SheetTest, StartsTheManagerAndGoesToTheTrayWithTheGreyIcon)
{
    CQuillmereSheet& sheet = StartSheet(true);
    EXPECT_NE(m_manager.GetPollTimer(), 0u) << "StartPolling was not called";
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_FALSE(TrayOf(sheet)->IsAlert());
    EXPECT_EQ(StatusLineOf(sheet)->Text(), "Successfull");
    EXPECT_FALSE(StatusLineOf(sheet)->ShowsError());
}

TEST_F(SheetTest, WithoutASystemTrayTheWindowStartsShown)
{
    CQuillmereSheet& sheet = StartSheet(false);
    EXPECT_TRUE(sheet.isVisible());
}

struct FailureCase
{
    int code;
    LinkStatus status;
    const char* name;
};

class FailingCommandText : public SheetTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(FailingCommandText, ShowsTheTimeThenTheCommandNameAndTheErrorText)
{
    CQuillmereSheet& sheet = StartSheet();
    const std::string before = NowText();
    m_manager.Notify(Response(GetParam().code, GetParam().status).get());
    ASSERT_TRUE(WaitUntil([&] { return StatusLineOf(sheet)->ShowsError(); }));
    const std::string after = NowText();

    const auto [when, what] = Lines(StatusLineOf(sheet));
    EXPECT_TRUE(when == before || when == after) << when;
    EXPECT_EQ(what, std::string(" ") + GetParam().name + " command " + GetErrorText(GetParam().status));
}

INSTANTIATE_TEST_SUITE_P(Codes, FailingCommandText,
                         ::testing::Values(FailureCase{CommandCode::RelayStatus, LinkStatus::Timeout, "Relay Status"},
                                           FailureCase{CommandCode::Rssi, LinkStatus::InvalidFrame, "RSSI"},
                                           FailureCase{CommandCode::UnsolicitedResponses, LinkStatus::OpenFailed,
                                                       "Unsolicited responses"},
                                           FailureCase{0x30, LinkStatus::NotAcknowledged, "Power"}));

TEST_F(SheetTest, TheStatusLineShowsTheNewestOutcome)
{
    CQuillmereSheet& sheet = StartSheet();
    m_manager.Notify(Response(CommandCode::Uptime, LinkStatus::Ok).get());
    SpinEvents(20);
    EXPECT_EQ(StatusLineOf(sheet)->Text(), "Successfull");

    m_manager.Notify(Response(CommandCode::Uptime, LinkStatus::OpenFailed).get());
    ASSERT_TRUE(WaitUntil([&] { return StatusLineOf(sheet)->ShowsError(); }));
    // An answer after the error replaces it: the old fault is gone.
    m_manager.Notify(Response(CommandCode::Rssi, LinkStatus::Ok).get());
    ASSERT_TRUE(WaitUntil([&] { return !StatusLineOf(sheet)->ShowsError(); }));
    EXPECT_EQ(Lines(StatusLineOf(sheet)).second, " RSSI command succeeded");

    // A host that does not answer is not cured by the unit answering; a connection test is
    // newer news of either kind.
    CNetworkMonitorErrorEventArgs failure(1, 1, "127.0.0.9", 3, 0);
    m_manager.Notify(&failure);
    ASSERT_TRUE(WaitUntil([&] { return StatusLineOf(sheet)->ShowsError(); }));
    m_manager.Notify(Response(CommandCode::Rssi, LinkStatus::Ok).get());
    SpinEvents(20);
    EXPECT_TRUE(StatusLineOf(sheet)->ShowsError());
    auto* page = sheet.findChild<CQuillmereSettings*>();
    emit page->ConnectionTested(true, QStringLiteral("Successfull connection."));
    EXPECT_FALSE(StatusLineOf(sheet)->ShowsError());
    EXPECT_EQ(Lines(StatusLineOf(sheet)).second, " Get Status: Successfull connection.");
    emit page->ConnectionTested(false, QStringLiteral("Could not open port"));
    EXPECT_TRUE(StatusLineOf(sheet)->ShowsError());
}

TEST_F(SheetTest, AFirstStartOpensShownOnTheSettingsPageWithTheManagerStopped)
{
    auto desktop = std::make_unique<ScriptedDesktop>();
    m_desktop = desktop.get();
    m_sheet = std::make_unique<CQuillmereSheet>(&m_manager, QStringLiteral("Quillmere Monitor"),
                                                CQuillmereSheet::SettingsPage, std::move(desktop));
    m_sheet->ShowAtStart();
    m_sheet->Initialize();
    EXPECT_TRUE(m_sheet->isVisible());
    EXPECT_EQ(TabsOf(*m_sheet)->currentIndex(), CQuillmereSheet::SettingsPage);
    EXPECT_EQ(m_manager.GetPollTimer(), 0u) << "polling while the port is being chosen";
    TabsOf(*m_sheet)->setCurrentIndex(0);
    EXPECT_NE(m_manager.GetPollTimer(), 0u);
}

// The tray host goes away while the window is in each of its states; the window must end
// up shown with a taskbar entry.
class TrayLost : public SheetTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(TrayLost, LeavesTheWindowShownWithATaskbarEntry)
{
    CQuillmereSheet& sheet = StartSheet(true);
    const auto reachable = [&] {
        return sheet.isVisible() && !sheet.isMinimized() && !sheet.windowFlags().testFlag(Qt::Tool);
    };
    if (GetParam() == 3)   // the tray went once and came back, and the window went back into it
    {
        m_desktop->Tray = false;
        ASSERT_TRUE(WaitUntil(reachable, CQuillmereSheet::kTrayCheckMs * 5));
        m_desktop->Tray = true;
        sheet.setWindowState(Qt::WindowMinimized);
        ASSERT_TRUE(WaitUntil([&] { return !sheet.isVisible(); }));
    }
    if (GetParam() == 1 || GetParam() == 2)
        sheet.RestoreFromTray();
    if (GetParam() == 2)
        sheet.setWindowState(Qt::WindowMinimized);
    if (GetParam() == 1)
    {
        ASSERT_TRUE(sheet.windowFlags().testFlag(Qt::Tool));
    }
    m_desktop->Tray = false;
    ASSERT_TRUE(WaitUntil(reachable, CQuillmereSheet::kTrayCheckMs * 5));
    // Minimising now keeps it reachable.
    sheet.setWindowState(Qt::WindowMinimized);
    SpinEvents(30);
    EXPECT_TRUE(sheet.isVisible());
}

INSTANTIATE_TEST_SUITE_P(States, TrayLost, ::testing::Values(0, 1, 2, 3));

TEST_F(SheetTest, ResponsesFromTheLinkWorkerArePostedAndShownOnTheUiThread)
{
    CQuillmereSheet& sheet = StartSheet();
    std::thread worker([&] { m_manager.Notify(Response(CommandCode::GsmStatus, LinkStatus::ReadFailed).get()); });
    worker.join();
    // Only posted so far: nothing on the window has changed yet.
    EXPECT_FALSE(StatusLineOf(sheet)->ShowsError());
    ASSERT_TRUE(WaitUntil([&] { return StatusLineOf(sheet)->ShowsError(); }));
    EXPECT_NE(StatusLineOf(sheet)->Text().indexOf(" GSM status command "), -1);
}

TEST_F(SheetTest, NotificationsBeforeTheWindowIsUpAreDropped)
{
    CQuillmereSheet& sheet = MakeSheet();
    m_manager.Notify(Response(CommandCode::Uptime, LinkStatus::Timeout).get());
    SpinEvents(20);
    EXPECT_EQ(StatusLineOf(sheet)->Text(), "Successfull");
}

struct MonitorCase
{
    int action;
    int count;
    int limit;
    const char* expected;
};

class MonitorFailureText : public SheetTest, public ::testing::WithParamInterface<MonitorCase>
{
};

TEST_P(MonitorFailureText, NamesTheHostAndThePowerCycleOnlyWhileOneIsDue)
{
    CQuillmereSheet& sheet = StartSheet();
    CNetworkMonitorErrorEventArgs failure(2, GetParam().action, "127.0.0.7", GetParam().limit, GetParam().count);
    std::thread ping([&] { m_manager.Notify(&failure); });
    ping.join();
    ASSERT_TRUE(WaitUntil([&] { return StatusLineOf(sheet)->ShowsError(); }));
    EXPECT_EQ(Lines(StatusLineOf(sheet)).second, GetParam().expected);
    // The tray turns orange whether or not a power cycle was due.
    EXPECT_TRUE(TrayOf(sheet)->IsAlert());
}

INSTANTIATE_TEST_SUITE_P(
    Actions, MonitorFailureText,
    ::testing::Values(
        MonitorCase{1, 0, 3, "Network monitor unable to communicate with 127.0.0.7 power cycle on Relay 2"},
        MonitorCase{2, 2, 3, "Network monitor unable to communicate with 127.0.0.7 power cycle on Relay 2"},
        MonitorCase{0, 0, 3, "Network monitor unable to communicate with 127.0.0.7 "},
        MonitorCase{1, 3, 3, "Network monitor unable to communicate with 127.0.0.7 "}));

TEST_F(SheetTest, TheOrangeTrayIconTurnsGreyAgainWhenTheWindowIsRestored)
{
    CQuillmereSheet& sheet = StartSheet();
    const qint64 grey = TrayOf(sheet)->CurrentIcon().cacheKey();
    CNetworkMonitorErrorEventArgs failure(1, 1, "127.0.0.9", 3, 0);
    m_manager.Notify(&failure);
    ASSERT_TRUE(WaitUntil([&] { return TrayOf(sheet)->IsAlert(); }));
    EXPECT_NE(TrayOf(sheet)->CurrentIcon().cacheKey(), grey);

    emit TrayOf(sheet)->OpenRequested();   // a left click or "Open"
    EXPECT_FALSE(TrayOf(sheet)->IsAlert());
    EXPECT_EQ(TrayOf(sheet)->CurrentIcon().cacheKey(), grey);
    EXPECT_TRUE(sheet.isVisible());
    // The error text stays; only the icon goes back.
    EXPECT_TRUE(StatusLineOf(sheet)->ShowsError());
}

TEST_F(SheetTest, AnsweringNoToTheCloseQuestionLeavesEverythingRunning)
{
    CQuillmereSheet& sheet = StartSheet(false);
    m_desktop->Answer = false;
    const auto pollTimer = m_manager.GetPollTimer();

    sheet.ConfirmAndClose();                                                   // menu and tray Exit
    sheet.close();                                                             // close button, Alt+F4
    FindAction(FindMenu(sheet.menuBar(), "&File"), "E&xit")->trigger();
    TrayOf(sheet)->Menu()->actions()[1]->trigger();

    ASSERT_EQ(m_desktop->Questions.size(), 4u);
    for (const QString& question : m_desktop->Questions)
        EXPECT_EQ(question, "Quillmere Monitor|Are you sure you want to close the Quillmere Monitor?");
    EXPECT_EQ(m_desktop->Icons.front(), QMessageBox::Critical);
    EXPECT_FALSE(sheet.HasEnded());
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(m_manager.GetPollTimer(), pollTimer);
    EXPECT_NE(pollTimer, 0u);

    // The loop keeps running until something else ends it.
    QTimer::singleShot(100, &sheet, [&] { sheet.ConfirmAndClose(); });
    QTimer::singleShot(300, &sheet, [&] { sheet.CloseWithoutQuestion(); });
    EXPECT_EQ(sheet.DoModal(), CQuillmereSheet::ResultCancel);
    EXPECT_EQ(m_desktop->Questions.size(), 5u);
}

TEST_F(SheetTest, AnsweringYesEndsTheLoopAndTakesTheIconOutOfTheTray)
{
    CQuillmereSheet& sheet = MakeSheet(true);
    m_desktop->Answer = true;
    QTimer::singleShot(20, &sheet, [&] { TrayOf(sheet)->Menu()->actions()[1]->trigger(); });
    EXPECT_EQ(sheet.DoModal(), CQuillmereSheet::ResultOk);
    EXPECT_TRUE(sheet.HasEnded());
    EXPECT_FALSE(TrayOf(sheet)->IsShown());
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(SheetTest, ASignalWhileTheCloseQuestionIsOpenDismissesItAndEnds)
{
    CQuillmereSheet& sheet = StartSheet(false);
    m_desktop->UseRealBoxes = true;
    bool boxWasUp = false;
    QTimer::singleShot(50, &sheet, [&] {
        boxWasUp = QApplication::activeModalWidget() != nullptr;
        sheet.CloseWithoutQuestion();
    });
    // A safety net so that a fault fails the test instead of hanging it.
    QTimer::singleShot(3000, &sheet, [] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    sheet.ConfirmAndClose();
    EXPECT_TRUE(boxWasUp);
    EXPECT_TRUE(sheet.HasEnded());
    EXPECT_EQ(sheet.DoModal(), CQuillmereSheet::ResultCancel);
}

TEST_F(SheetTest, TheMemoryWatchdogClosesTheMainWindowWithoutAQuestion)
{
    m_manager.SetMemoryReader([] { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); });
    m_manager.SetRunTimeReader([] { return std::chrono::steady_clock::duration(std::chrono::hours(1)); });
    CQuillmereSheet& sheet = MakeSheet(true);
    // The first poll runs while the window comes up and already finds too much memory used.
    EXPECT_EQ(sheet.DoModal(), CQuillmereSheet::ResultCancel);
    EXPECT_TRUE(sheet.IsRestartRequested());
    EXPECT_TRUE(m_desktop->Questions.empty());
    EXPECT_FALSE(TrayOf(sheet)->IsShown());
}

TEST_F(SheetTest, MinimisingHidesToTheTrayAndRestoringReturnsToTheSamePlace)
{
    CQuillmereSheet& sheet = StartSheet(true);
    sheet.RestoreFromTray();
    ASSERT_TRUE(sheet.isVisible());
    sheet.move(140, 120);
    const QPoint place = sheet.pos();

    sheet.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(WaitUntil([&] { return !sheet.isVisible(); }));

    sheet.RestoreFromTray();
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_FALSE(sheet.isMinimized());
    EXPECT_EQ(sheet.pos(), place);
}

TEST_F(SheetTest, WithoutATrayMinimisingKeepsTheWindowReachable)
{
    CQuillmereSheet& sheet = StartSheet(false);
    sheet.setWindowState(Qt::WindowMinimized);
    SpinEvents(30);
    EXPECT_TRUE(sheet.isVisible());
}

TEST_F(SheetTest, EnterAndEscapeMoveTheFocusInsteadOfClosing)
{
    CQuillmereSheet& sheet = StartSheet(false);
    sheet.activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &sheet; }));
    TabsOf(sheet)->tabBar()->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::focusWidget() != nullptr; }));

    for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
    {
        QWidget* before = QApplication::focusWidget();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(before, &press);
        SpinEvents(10);
        EXPECT_NE(QApplication::focusWidget(), before) << "key " << key;
    }
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_FALSE(sheet.HasEnded());
    EXPECT_TRUE(m_desktop->Questions.empty());
}

TEST_F(SheetTest, ViewHelpOpensTheHelpDocument)
{
    CQuillmereSheet& sheet = StartSheet(false);
    FindAction(FindMenu(sheet.menuBar(), "&Help"), "&View Help")->trigger();
    ASSERT_EQ(m_desktop->Opened.size(), 1u);
    EXPECT_TRUE(m_desktop->Opened.front().endsWith("/Quillmere_Help.html"));
}

TEST_F(SheetTest, ViewHelpWithoutAViewerSaysWhereTheHelpFileIs)
{
    CQuillmereSheet& sheet = StartSheet(false);
    m_desktop->ViewerPresent = false;
    FindAction(FindMenu(sheet.menuBar(), "&Help"), "&View Help")->trigger();
    ASSERT_EQ(m_desktop->Opened.size(), 1u);
    ASSERT_EQ(m_desktop->Messages.size(), 1u);
    EXPECT_TRUE(m_desktop->Messages.front().contains(m_desktop->Opened.front())) << m_desktop->Messages.front().toStdString();
}

TEST_F(SheetTest, ATaskbarEntryOnlyWhenNoTrayHoldsTheProgram)
{
    CQuillmereSheet& withTray = StartSheet(true);
    withTray.RestoreFromTray();
    ASSERT_TRUE(withTray.isVisible());
    EXPECT_TRUE(withTray.windowFlags().testFlag(Qt::Tool));
    m_sheet.reset();

    CQuillmereSheet& withoutTray = StartSheet(false);
    ASSERT_TRUE(withoutTray.isVisible());
    EXPECT_FALSE(withoutTray.windowFlags().testFlag(Qt::Tool));
}

TEST_F(SheetTest, TheWindowShowsItselfWhenTheTrayGoesAwayWhileItIsHidden)
{
    CQuillmereSheet& sheet = StartSheet(true);
    ASSERT_FALSE(sheet.isVisible());
    m_desktop->Tray = false;
    ASSERT_TRUE(WaitUntil([&] { return sheet.isVisible(); }, CQuillmereSheet::kTrayCheckMs + 2000));
    EXPECT_FALSE(sheet.windowFlags().testFlag(Qt::Tool));
    EXPECT_FALSE(sheet.HasEnded());
}
