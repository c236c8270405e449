#include "QuillmereSheet.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <string>

#include "AboutDialog.h"
#include "Desktop.h"
#include "EngineBridge.h"
#include "HelpFile.h"
#include "ProgressDialog.h"
#include "QuillmereLog.h"
#include "QuillmereSettings.h"
#include "QuillmereStatus.h"
#include "StatusLine.h"
#include "TrayIcon.h"
#include "core/EventArgs.h"
#include "core/PrivateMessages.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "device/QuillmereManager.h"
#include "protocol/StatusCodes.h"
#include "log/NowText.h"

// The icons live in a static library; its resources are registered by hand.
static void InitMainWindowResources()
{
    Q_INIT_RESOURCE(mainwindow);
}

namespace
{
QString ToQString(const std::string& text)
{
    return QString::fromStdString(text);
}
}

CQuillmereSheet::CQuillmereSheet(CQuillmereManager* manager, const QString& caption, int initialPage,
                                 std::unique_ptr<CDesktop> desktop)
    : m_manager(manager), m_desktop(desktop ? std::move(desktop) : std::make_unique<CDesktop>()),
      m_tabs(new QTabWidget(this)), m_statusPage(new CQuillmereStatus), m_logPage(new CQuillmereLog),
      m_settingsPage(new CQuillmereSettings), m_statusLine(new CStatusLine(this)), m_tray(new CTrayIcon(this))
{
    InitMainWindowResources();
    setWindowTitle(caption);
    setWindowIcon(QIcon(QStringLiteral(":/icons/quillmere-monitor.svg")));

    m_bridge = std::make_unique<CEngineBridge>(this);
    // The status line shows the newest outcome, so every answer counts; the last few wait,
    // the newest shown last.
    m_bridge->OnRecord<CCommandResponse>(
        PrivateMessage::CommandResponse, [this](const CCommandResponse& response) { OnCommandResponse(response); }, 8);
    m_bridge->OnRecord<CNetworkMonitorErrorEventArgs>(
        PrivateMessage::CommandResponse, [this](const CNetworkMonitorErrorEventArgs& error) { OnMonitorError(error); });
    m_bridge->OnRecord<CProgressChangedEventArgs>(
        PrivateMessage::FirmwareProgress,
        [this](const CProgressChangedEventArgs& progress) { OnFirmwareProgress(progress.Position, progress.Total); });
    m_manager->SetRestartHost(this);
    AddPage(m_statusPage, QStringLiteral("Status"));
    AddPage(m_logPage, QStringLiteral("Log"));
    AddPage(m_settingsPage, QStringLiteral("Settings"));
    m_tabs->setCurrentIndex(initialPage);
    connect(m_settingsPage, &CQuillmereSettings::ConnectionTested, this, [this](bool ok, const QString& text) {
        const QString line = ToQString(NowText()) + QStringLiteral("\n ") + QString::fromLatin1(GetStatusPrefix) + text;
        if (ok)
            m_statusLine->ShowSuccess(line);
        else
            m_statusLine->ShowError(line);
        m_monitorErrorShown = false;
    });
    connect(m_tabs, &QTabWidget::currentChanged, this, &CQuillmereSheet::OnCurrentPageChanged);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 2);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(m_statusLine);
    setCentralWidget(central);
    BuildMenus();
    // As large as the pages ask at this font, but never larger than the screen: the panes
    // scroll and the long texts elide instead.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        resize(sizeHint().boundedTo(screen->availableGeometry().size()));

    connect(m_tray, &CTrayIcon::OpenRequested, this, &CQuillmereSheet::RestoreFromTray);
    connect(m_tray, &CTrayIcon::ExitRequested, this, &CQuillmereSheet::ConfirmAndClose);
    m_trayCheck = new QTimer(this);
    m_trayCheck->setInterval(kTrayCheckMs);
    connect(m_trayCheck, &QTimer::timeout, this, &CQuillmereSheet::CheckTrayStillThere);
    qApp->installEventFilter(this);
}

CQuillmereSheet::~CQuillmereSheet()
{
    m_bridge.reset();
    qApp->removeEventFilter(this);
    m_tray->Remove();
    m_manager->SetRestartHost(nullptr);
}

void CQuillmereSheet::ShowStartError(const QString& text)
{
    m_statusLine->ShowError(text);
}

void CQuillmereSheet::AddPage(CPropertyPage* page, const QString& title)
{
    page->SetManager(m_manager);
    m_tabs->addTab(page, title);
}

void CQuillmereSheet::BuildMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    connect(file->addAction(QStringLiteral("&Update Firmware")), &QAction::triggered, this,
            &CQuillmereSheet::UpdateFirmware);
    connect(file->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, &CQuillmereSheet::ConfirmAndClose);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    connect(help->addAction(QStringLiteral("&View Help")), &QAction::triggered, this, &CQuillmereSheet::ShowHelp);
    connect(help->addAction(QStringLiteral("&About")), &QAction::triggered, this, &CQuillmereSheet::ShowAbout);
}

void CQuillmereSheet::Initialize()
{
    if (m_initialised)
        return;
    m_initialised = true;
    // Notifications before this moment are dropped, as the window does not exist yet.
    m_bridge->Attach(m_manager);

    m_currentPage = m_tabs->currentIndex();
    if (auto* page = dynamic_cast<CPropertyPage*>(m_tabs->currentWidget()))
        page->OnSetActive();

    // On the Settings page the manager stays stopped; leaving the page starts it.
    if (m_tabs->currentWidget() != m_settingsPage)
    {
        m_manager->Connect();
        m_manager->StartPolling();
        m_manager->StartMonitorTimers();
    }
    if (m_ended)   // the first poll may already have asked for a restart
        return;

    m_tray->Show();
    m_trayCheck->start();
    if (!m_desktop->HasSystemTray())
        ShowAsPlainWindow();
    else if (m_showAtStart)
        RestoreFromTray();
    else
        HideToTray();
}

void CQuillmereSheet::ShowAsPlainWindow()
{
    // An ordinary window again, with its taskbar entry: nothing else could bring it back.
    m_trayCheck->stop();
    if (windowFlags().testFlag(Qt::Tool))
        setWindowFlag(Qt::Tool, false);
    showNormal();
    MoveToSavedPosition();
}

void CQuillmereSheet::CheckTrayStillThere()
{
    if (m_ended || m_desktop->HasSystemTray())
        return;
    // Whatever state the window is in, it needs its taskbar entry back now: a tool window
    // shown, minimised or hidden has nothing left to be reached by.
    if (isVisible() && !isMinimized() && !windowFlags().testFlag(Qt::Tool))
    {
        m_trayCheck->stop();
        return;
    }
    if (isVisible() && !isMinimized())
    {
        m_trayCheck->stop();
        const QPoint place = pos();
        setWindowFlag(Qt::Tool, false);   // hides the window, as any change of its kind does
        show();
        move(place);
        return;
    }
    ShowAsPlainWindow();
}

int CQuillmereSheet::DoModal()
{
    Initialize();
    if (!m_ended)
    {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
    }
    // The loop also ends when the application is told to quit; that counts as a close.
    if (!m_ended)
        EndModal(ResultCancel);
    return m_result;
}

void CQuillmereSheet::EndModal(int result)
{
    if (!m_ended)
        m_result = result;
    m_ended = true;
    m_trayCheck->stop();
    m_tray->Remove();
    if (m_firmwareDialog != nullptr)
        m_firmwareDialog->EndDialog(0);
    hide();
    if (m_loop != nullptr)
        m_loop->quit();
}

void CQuillmereSheet::DismissDialogs()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
    {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog != nullptr && dialog->isVisible() && dialog != m_firmwareDialog)
            dialog->reject();
    }
}

void CQuillmereSheet::CloseWithoutQuestion()
{
    DismissDialogs();
    EndModal(ResultCancel);
}

void CQuillmereSheet::RequestRestart()
{
    m_restartRequested = true;
    CloseWithoutQuestion();
}

void CQuillmereSheet::ConfirmAndClose()
{
    // A second Exit while the question is up would stack another question on it.
    if (m_ended || m_asking)
        return;
    m_asking = true;
    const bool yes = m_desktop->AskYesNo(this, QString::fromLatin1(Caption), QString::fromLatin1(CloseQuestion),
                                         QMessageBox::Critical);
    m_asking = false;
    if (yes && !m_ended)
        EndModal(ResultOk);
}

void CQuillmereSheet::closeEvent(QCloseEvent* event)
{
    // Every close that reaches the window here comes from the window manager: the close
    // button or Alt+F4. The program's own closes go through EndModal.
    event->ignore();
    if (!m_ended)
        ConfirmAndClose();
}

void CQuillmereSheet::UpdateFirmware()
{
    if (m_ended || m_firmwareDialog != nullptr)
        return;
    if (!m_desktop->AskYesNo(this, QString::fromLatin1(FirmwareCaption), QString::fromLatin1(FirmwareQuestion),
                             QMessageBox::NoIcon))
        return;
    const QString path = m_desktop->ChooseFirmwareFile(this);
    if (path.isEmpty() || m_ended)
        return;

    m_manager->KillPollTimer();
    // The file system's own bytes for the name, so that any name the dialog offered opens.
    const LinkStatus queued = m_manager->UpdateFirmware(QFile::encodeName(path).toStdString());
    if (queued != LinkStatus::Ok)
    {
        m_statusLine->ShowError(ToQString(NowText() + "\n " + m_manager->FailureText(CommandCode::RequestUpgrade, queued)));
        m_manager->StartPolling();
        return;
    }

    CProgressDialog dialog;
    dialog.SetMessage(QString::fromLatin1(FirmwareMessage));
    dialog.SetAutoAdvance(false);
    m_firmwareDialog = &dialog;
    dialog.exec();
    m_firmwareDialog = nullptr;

    if (!m_ended)
        m_manager->StartPolling();
}

void CQuillmereSheet::ShowHelp()
{
    const QString path = FindHelpFile(QCoreApplication::applicationDirPath());
    if (!m_desktop->OpenDocument(path))
        m_desktop->ShowMessage(this, QString::fromLatin1(Caption), QString::fromLatin1(NoHelpViewer).arg(path));
}

void CQuillmereSheet::ShowAbout()
{
    CAboutDialog about(this);
    about.exec();
}

void CQuillmereSheet::HideToTray()
{
    if (isVisible())
        m_savedPosition = pos();
    hide();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    WatchTray();
}

void CQuillmereSheet::WatchTray()
{
    // Every time the window leaves the taskbar for the tray, including after a tray that went
    // away has come back: the check stops once it has given the window its entry back.
    if (!m_ended && m_desktop->HasSystemTray())
        m_trayCheck->start();
}

void CQuillmereSheet::RestoreFromTray()
{
    if (m_ended)
        return;
    m_tray->SetAlert(false);
    // While the tray holds the program the window keeps out of the taskbar; a tool window
    // is what desktops leave out of it.
    const bool tray = m_desktop->HasSystemTray();
    if (windowFlags().testFlag(Qt::Tool) != tray)
        setWindowFlag(Qt::Tool, tray);
    showNormal();
    MoveToSavedPosition();
    raise();
    activateWindow();
    WatchTray();
}

void CQuillmereSheet::MoveToSavedPosition()
{
    if (m_savedPosition && m_savedPosition->x() >= 0)
    {
        move(*m_savedPosition);
        return;
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - frameGeometry().center() + pos());
}

void CQuillmereSheet::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || m_ended)
        return;
    // Without a tray the window minimises like any other, so it can always be reached.
    if (!m_desktop->HasSystemTray())
        return;
    m_savedPosition = pos();
    // Hiding from inside the state change confuses some window managers; do it next.
    QTimer::singleShot(0, this, [this] {
        if (isMinimized())
            HideToTray();
    });
}

bool CQuillmereSheet::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
    {
        const int key = static_cast<QKeyEvent*>(event)->key();
        // Neither key may end the window or fire a page's default button: both act as Tab.
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape)
        {
            focusNextChild();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CQuillmereSheet::OnCurrentPageChanged(int index)
{
    if (auto* old = dynamic_cast<CPropertyPage*>(m_tabs->widget(m_currentPage)))
        old->OnKillActive();
    m_currentPage = index;
    if (auto* page = dynamic_cast<CPropertyPage*>(m_tabs->widget(index)))
        page->OnSetActive();
}

void CQuillmereSheet::OnCommandResponse(const CCommandResponse& response)
{
    const CSerialCommand* command = response.GetCommand();
    const int code = command != nullptr ? command->Code : 0;
    if ((code == CommandCode::RequestUpgrade || code == CommandCode::FirmwareTransfer) && m_firmwareDialog != nullptr)
        m_firmwareDialog->EndDialog(0);
    if (response.GetResult() == LinkStatus::Ok)
    {
        // A success replaces an older error: the line must not blame a fault already gone.
        if (code == CommandCode::FirmwareTransfer)
        {
            m_statusLine->ShowSuccess(ToQString(NowText() + "\n Firmware update finished"));
            m_monitorErrorShown = false;
        }
        else if (m_statusLine->ShowsError() && !m_monitorErrorShown)
            m_statusLine->ShowSuccess(
                ToQString(NowText() + "\n " + GetCommandName(response.GetType()) + " command " + SuccessWord));
        return;
    }
    m_statusLine->ShowError(ToQString(NowText() + "\n " + m_manager->FailureText(response.GetType(), response.GetResult())));
    m_monitorErrorShown = false;
}

void CQuillmereSheet::OnMonitorError(const CNetworkMonitorErrorEventArgs& error)
{
    m_statusLine->ShowError(ToQString(NowText() + "\n" +
                                      CQuillmereManager::MonitorFailureText(error.Target, error.Action, error.RelayIndex,
                                                                            error.AutoResetLimit,
                                                                            error.CurrentResetCount)));
    // A host that does not answer is not cured by the unit answering: only a newer error,
    // a connection test or a firmware end replaces this line.
    m_monitorErrorShown = true;
    m_tray->SetAlert(true);
}

void CQuillmereSheet::OnFirmwareProgress(int position, int total)
{
    if (m_firmwareDialog != nullptr)
        m_firmwareDialog->SetProgress(position, total);
}
