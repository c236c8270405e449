#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <memory>
#include <optional>

#include "Desktop.h"
#include "device/RestartHost.h"

class CCommandResponse;
class CEngineBridge;
class CNetworkMonitorErrorEventArgs;
class CProgressDialog;
class CPropertyPage;
class CQuillmereLog;
class CQuillmereManager;
class CQuillmereSettings;
class CQuillmereStatus;
class CStatusLine;
class CTrayIcon;
class QEventLoop;
class QTabWidget;
class QTimer;

// The program's only top-level window: the Status, Log and Settings tabs, a menu bar, the
// status line that reports the last error, and the tray icon it lives behind. It starts
// the manager when it first comes up and hears from it over its bridge: command errors,
// monitor failures and firmware progress.
//
// While a tray holds the program the window has no taskbar entry; without a tray it is an
// ordinary window. If the tray goes away, in whatever state the window is, it gets its
// taskbar entry back and shows itself if hidden, so it can never become unreachable.
class CQuillmereSheet : public QMainWindow, public IRestartHost
{
    Q_OBJECT
public:
    static constexpr const char* Caption = "Quillmere Monitor";
    static constexpr const char* CloseQuestion = "Are you sure you want to close the Quillmere Monitor?";
    static constexpr const char* FirmwareCaption = "Update Firmware";
    static constexpr const char* FirmwareQuestion =
        "Update firmware will cause device to be unresponsive during this time.\n  Would you like to continue?";
    static constexpr const char* FirmwareMessage = "Updating firmware ....";
    static constexpr const char* GetStatusPrefix = "Get Status: ";
    static constexpr const char* SuccessWord = "succeeded";
    static constexpr const char* NoHelpViewer = "No program to show the help was found. The help file is:\n%1";
    // How often the window looks whether the tray is still there, in every state while a
    // tray holds it: Qt tells of a tray that goes only when asked. Every 5 s keeps the idle
    // program's wake-ups within budget; a tray host that dies is rare, a lost window is not.
    static constexpr int kTrayCheckMs = 5000;

    static constexpr int SettingsPage = 2;

    // Results of DoModal: closed by the operator, or by a signal or a restart.
    static constexpr int ResultOk = 1;
    static constexpr int ResultCancel = 2;

    // A null desktop means the real one.
    CQuillmereSheet(CQuillmereManager* manager, const QString& caption, int initialPage = 0,
                    std::unique_ptr<CDesktop> desktop = nullptr);
    ~CQuillmereSheet() override;

    // The window's first coming up: starts the link, the poll and the monitors, then goes
    // to the tray, or shows itself when the desktop has no tray to come back from.
    void Initialize();
    // The window comes up shown instead of going to the tray: a first start, with nothing
    // set up yet, must show where to begin.
    void ShowAtStart() { m_showAtStart = true; }
    // One plain line in the status line from the start, such as why the defaults are shown.
    void ShowStartError(const QString& text);
    // Initialize, then runs the event loop until the window closes.
    int DoModal();
    // Termination signals and the memory watchdog: closes with no question, like a plain
    // close request from the system, dismissing any box that is open.
    void CloseWithoutQuestion();
    void RequestRestart() override;
    bool IsRestartRequested() const { return m_restartRequested; }
    bool HasEnded() const { return m_ended; }

    // The operator's commands, reached from the menu bar and the tray.
    void ConfirmAndClose();
    void UpdateFirmware();
    void ShowHelp();
    void ShowAbout();
    void RestoreFromTray();
    void HideToTray();

    // The firmware transfer's dialog while it is open, else null.
    CProgressDialog* FirmwareProgressDialog() const { return m_firmwareDialog; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildMenus();
    void AddPage(CPropertyPage* page, const QString& title);
    void OnCurrentPageChanged(int index);
    void OnCommandResponse(const CCommandResponse& response);
    void OnMonitorError(const CNetworkMonitorErrorEventArgs& error);
    void OnFirmwareProgress(int position, int total);
    void MoveToSavedPosition();
    void ShowAsPlainWindow();
    void CheckTrayStillThere();
    void WatchTray();
    void EndModal(int result);
    void DismissDialogs();

    CQuillmereManager* m_manager;
    std::unique_ptr<CDesktop> m_desktop;
    QTabWidget* m_tabs;
    CQuillmereStatus* m_statusPage;
    CQuillmereLog* m_logPage;
    CQuillmereSettings* m_settingsPage;
    CStatusLine* m_statusLine;
    CTrayIcon* m_tray;
    CProgressDialog* m_firmwareDialog = nullptr;
    std::unique_ptr<CEngineBridge> m_bridge;
    QTimer* m_trayCheck = nullptr;
    QEventLoop* m_loop = nullptr;
    std::optional<QPoint> m_savedPosition;
    int m_currentPage = -1;
    int m_result = 0;
    bool m_initialised = false;
    bool m_ended = false;
    bool m_asking = false;
    bool m_restartRequested = false;
    bool m_monitorErrorShown = false;
    bool m_showAtStart = false;
};
