#pragma once

#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/PropertyPage.h"
#include "ui/SerialPortList.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class CAppSettings;
class CEngineBridge;
class CNetworkMonitor;
class CNetworkMonitorEditControl;
class CProgressDialog;
class CRelayEditControl;
class CSpinEdit;
class CTasksPane;

// The "Settings" tab. It edits the settings in place: the COM port, the poll interval, the
// log level, each relay's name and permission, and the network monitors; there is no apply
// or cancel. While the tab is the current one the manager is stopped, so the port is free
// and no timer or check runs; leaving the tab starts it again with what is now in the model.
//
// Update runs on the link worker thread when it ends and only posts to the page.
class CQuillmereSettings : public CPropertyPage
{
    Q_OBJECT
public:
    static constexpr const char* kSuccessText = "Successfull connection.";
    static constexpr const char* kDebugWarning = "Debug logging will cause an increase in log writes.";
    static constexpr const char* kRelaysGroup = "Relays";
    static constexpr const char* kMonitorsGroup = "Network Monitors";
    static constexpr const char* kAddMonitorText = "Add Network Monitor";
    static constexpr int kWaitDialogDelayMs = 50;
    // How often the page looks again whether the last ping check has ended.
    static constexpr int kIdleCheckMs = 100;

    // The ports offered, in any order; the page sorts them.
    using PortSource = std::function<std::vector<CSerialPortList::Entry>()>;
    static constexpr const char* kPortMissing = "COM%1 \u2013 not found";
    static constexpr const char* kLinkFailed = "No link for the adapter could be made in %1: %2";

    explicit CQuillmereSettings(QWidget* parent = nullptr);
    ~CQuillmereSettings() override;

    // Tests give their own ports and the folder the adapters' links go to; the default
    // reads the data folder and the system.
    void SetPortSource(PortSource source, std::string linkFolder = CSerialPortList::LinkFolder())
    {
        m_portSource = std::move(source);
        m_linkFolder = std::move(linkFolder);
    }

    void SetManager(CQuillmereManager* manager) override;
    void OnSetActive() override;
    void OnKillActive() override;

    // The "Add Network Monitor" command.
    void AddNetworkMonitor();

signals:
    // The outcome of "Get Status", for the main window's status line.
    void ConnectionTested(bool ok, const QString& text);

private:
    void FillControls();
    void FillPortList();
    void AddMonitorTask(CNetworkMonitor* monitor);
    CNetworkMonitorEditControl* MakeMonitorEditor(CNetworkMonitor* monitor);
    std::vector<CNetworkMonitorEditControl*> MadeMonitorEditors() const;
    int MonitorRowHeight() const;
    void OnWaitTimer();
    void OnLinkThreadEnded();
    void OnRemoveRequested(CNetworkMonitorEditControl* editor);
    void OnRelayNamesChanged();
    void OnGetStatus();
    int PortPosition(int number) const;
    void OnPortChanged(int position);
    void OnLogLevelChanged(int position);
    void ShowDebugWarning(bool show);
    void RefreshRemoveAllowed();
    void EndWaitDialog();

    CQuillmereManager* m_manager = nullptr;
    CAppSettings* m_settings = nullptr;
    PortSource m_portSource;
    std::string m_linkFolder;
    std::vector<CSerialPortList::Entry> m_ports;   // as the list shows them
    bool m_initialised = false;
    bool m_active = false;
    bool m_linkEndSeen = false;
    bool m_removeAllowed = true;
    std::unique_ptr<CEngineBridge> m_bridge;

    QComboBox* m_portList;
    QPushButton* m_getStatus;
    QLabel* m_result;
    CSpinEdit* m_interval;
    QComboBox* m_logLevel;
    QLabel* m_debugWarning;
    CTasksPane* m_tasksPane;
    int m_relayGroup = -1;
    int m_monitorGroup = -1;
    std::vector<CRelayEditControl*> m_relayEditors;   // owned by the group panel
    QPointer<CProgressDialog> m_waitDialog;
    QTimer* m_waitTimer;
    QTimer* m_idleTimer;
};
