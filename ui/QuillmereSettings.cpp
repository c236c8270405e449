#include "QuillmereSettings.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>

#include "EngineBridge.h"
#include "FontUnits.h"
#include "NetworkMonitorEditControl.h"
#include "ProgressDialog.h"
#include "RelayEditControl.h"
#include "SerialPortList.h"
#include "SpinEdit.h"
#include "TasksPane.h"
#include "WheelGuard.h"
#include "config/AppSettings.h"
#include "config/LogLevelValue.h"
#include "core/EventArgs.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereManager.h"
#include "protocol/StatusCodes.h"

namespace
{
constexpr const char* kPaneCaption = "Settings";
constexpr int kIntervalMin = 1;
constexpr int kIntervalMax = 60;
// The group panel's place on the page: left 5, top 100, right 495, bottom 400 pixels.
constexpr int kPaneLeft = 5;
constexpr int kPaneWidth = 495 - 5;
constexpr int kPaneHeight = 400 - 100;
constexpr std::int32_t kLogLevels[] = {LogLevelEventsAndErrors, LogLevelDebug};

// The port list reads the ports again each time it drops down: an adapter plugged in
// while the page was open is then offered at once.
class CPortComboBox : public QComboBox
{
public:
    using QComboBox::QComboBox;
    std::function<void()> BeforeDropDown;

    void showPopup() override
    {
        if (BeforeDropDown)
            BeforeDropDown();
        QComboBox::showPopup();
    }
};
}

CQuillmereSettings::CQuillmereSettings(QWidget* parent)
    : CPropertyPage(parent), m_portSource([] { return CSerialPortList::GetPorts(); }),
      m_linkFolder(CSerialPortList::LinkFolder()), m_portList(new CPortComboBox(this)), m_getStatus(new QPushButton(QStringLiteral("Get Status"), this)),
      m_result(new QLabel(this)), m_interval(new CSpinEdit(this)), m_logLevel(new QComboBox(this)),
      m_debugWarning(new QLabel(QString::fromUtf8(kDebugWarning), this)), m_tasksPane(new CTasksPane(this)),
      m_waitTimer(new QTimer(this)), m_idleTimer(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Settings"));
    m_portList->setObjectName(QStringLiteral("portList"));
    static_cast<CPortComboBox*>(m_portList)->BeforeDropDown = [this] {
        if (m_initialised)
            FillPortList();
    };
    m_getStatus->setObjectName(QStringLiteral("getStatusButton"));
    m_result->setObjectName(QStringLiteral("resultText"));
    m_result->setWordWrap(true);
    m_interval->setObjectName(QStringLiteral("intervalSpin"));
    m_interval->setRange(kIntervalMin, kIntervalMax);
    m_logLevel->setObjectName(QStringLiteral("logLevelList"));
    m_debugWarning->setObjectName(QStringLiteral("debugWarning"));
    m_debugWarning->setWordWrap(true);
    m_debugWarning->setVisible(false);
    m_tasksPane->setObjectName(QStringLiteral("settingsPane"));
    m_tasksPane->SetCaption(QString::fromUtf8(kPaneCaption));
    m_tasksPane->SetPreferredSize(QSize(FontUnits::Across(this, kPaneWidth), FontUnits::Down(this, kPaneHeight)));
    GuardAgainstWheel(m_portList);
    GuardAgainstWheel(m_interval);
    GuardAgainstWheel(m_logLevel);
    for (const std::int32_t level : kLogLevels)
        m_logLevel->addItem(QString::fromStdString(LogLevelValueToText(level)));

    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(8);
    fields->setVerticalSpacing(4);
    m_result->setTextFormat(Qt::PlainText);
    fields->addWidget(new QLabel(QStringLiteral("Serial Port"), this), 0, 0, Qt::AlignRight);
    fields->addWidget(m_portList, 0, 1);
    fields->addWidget(m_getStatus, 0, 2);
    fields->addWidget(m_result, 0, 3);
    fields->addWidget(new QLabel(QStringLiteral("Status Poll Interval"), this), 1, 0, Qt::AlignRight);
    fields->addWidget(m_interval, 1, 1);
    fields->addWidget(new QLabel(QStringLiteral("minutes"), this), 1, 2);
    fields->addWidget(new QLabel(QStringLiteral("Log level"), this), 2, 0, Qt::AlignRight);
    fields->addWidget(m_logLevel, 2, 1);
    fields->addWidget(m_debugWarning, 2, 2, 1, 2);
    fields->setColumnStretch(3, 1);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(kPaneLeft, 10, kPaneLeft, 5);
    page->addLayout(fields);
    page->addSpacing(8);
    page->addWidget(m_tasksPane, 1);

    m_waitTimer->setSingleShot(true);
    m_waitTimer->setInterval(kWaitDialogDelayMs);
    connect(m_waitTimer, &QTimer::timeout, this, &CQuillmereSettings::OnWaitTimer);
    m_idleTimer->setInterval(kIdleCheckMs);
    connect(m_idleTimer, &QTimer::timeout, this, &CQuillmereSettings::RefreshRemoveAllowed);

    connect(m_getStatus, &QPushButton::clicked, this, &CQuillmereSettings::OnGetStatus);
    connect(m_interval, &CSpinEdit::TextEdited, this, [this] {
        if (m_initialised && m_settings != nullptr)
            m_settings->SetStatusPollIntervalInMinutes(m_interval->value());
    });
}

CQuillmereSettings::~CQuillmereSettings()
{
    m_bridge.reset();
    EndWaitDialog();
}

void CQuillmereSettings::SetManager(CQuillmereManager* manager)
{
    if (m_manager != nullptr || manager == nullptr)
        return;   // wired once, for the life of the main window
    m_manager = manager;
    m_settings = m_manager->GetSettings();
    m_bridge = std::make_unique<CEngineBridge>(this);
    m_bridge->OnRefresh<CNetworkThreadCompletedEventArgs>(PrivateMessage::LinkThreadEnded,
                                                          [this] { OnLinkThreadEnded(); });
    m_bridge->Attach(m_manager);
}

void CQuillmereSettings::FillControls()
{
    if (m_settings == nullptr || m_initialised)
        return;
    m_settings->SetSuppressNotifications(true);

    m_interval->setValue(m_settings->GetStatusPollIntervalInMinutes());
    // Stored as shown: a value from the file outside 1..60 becomes its nearest bound.
    if (m_interval->value() != m_settings->GetStatusPollIntervalInMinutes())
        m_settings->SetStatusPollIntervalInMinutes(m_interval->value());

    m_logLevel->setCurrentIndex(static_cast<int>(m_settings->GetLogLevel()));
    ShowDebugWarning(m_settings->GetLogLevel() == LogLevelDebug);

    m_relayGroup = m_tasksPane->AddGroup(QString::fromUtf8(kRelaysGroup));
    for (CRelaySetting* setting : m_settings->GetRelaySettings())
    {
        auto* editor = new CRelayEditControl;
        editor->SetRelaySetting(setting);
        editor->Create();
        if (m_tasksPane->AddWindow(m_relayGroup, editor, FontUnits::Down(editor, CRelayEditControl::kHeight)) < 0)
        {
            delete editor;
            continue;
        }
        connect(editor, &CRelayEditControl::NameChanged, this, &CQuillmereSettings::OnRelayNamesChanged);
        m_relayEditors.push_back(editor);
    }

    m_monitorGroup = m_tasksPane->AddGroup(QString::fromUtf8(kMonitorsGroup));
    m_tasksPane->AddCommandTask(m_monitorGroup, QString::fromUtf8(kAddMonitorText), [this] { AddNetworkMonitor(); });
    // Collapsed first, so that no editor is made while the rows are added.
    m_tasksPane->SetGroupCollapsed(m_monitorGroup, true);
    for (const std::shared_ptr<CNetworkMonitor>& monitor : m_settings->GetNetworkMonitors())
        AddMonitorTask(monitor.get());

    m_settings->SetSuppressNotifications(false);
    m_initialised = true;
    // Connected only now: filling the lists is not an edit.
    connect(m_logLevel, &QComboBox::currentIndexChanged, this, &CQuillmereSettings::OnLogLevelChanged);
    connect(m_portList, &QComboBox::currentIndexChanged, this, &CQuillmereSettings::OnPortChanged);
}

void CQuillmereSettings::FillPortList()
{
    if (m_settings == nullptr)
        return;
    // Refilling is not an edit; the operator's own choice is kept if the port is still there.
    const QSignalBlocker block(m_portList);
    const int chosen = m_portList->currentIndex() >= 0 ? PortPosition(-1) : 0;
    m_ports = m_portSource ? m_portSource() : std::vector<CSerialPortList::Entry>();
    if (m_ports.size() > CSerialPortList::MaxPorts)
        m_ports.resize(CSerialPortList::MaxPorts);
    // A sorted list orders its entries as text: COM10 comes before COM2.
    std::stable_sort(m_ports.begin(), m_ports.end(), [](const auto& a, const auto& b) {
        return QString::compare(QString::fromStdString(a.text), QString::fromStdString(b.text), Qt::CaseInsensitive) <
               0;
    });
    m_portList->clear();
    for (const CSerialPortList::Entry& entry : m_ports)
        m_portList->addItem(QString::fromStdString(entry.text));
    int selected = chosen > 0 ? PortPosition(chosen) : -1;
    if (selected < 0)
        selected = PortPosition(m_settings->GetComPort());
    m_portList->setCurrentIndex(selected);
    // A configured port that is not there is said in the box, not left blank.
    const int configured = m_settings->GetComPort();
    m_portList->setPlaceholderText(selected < 0 && configured > 0 ? QString::fromUtf8(kPortMissing).arg(configured)
                                                                  : QString());
}

int CQuillmereSettings::PortPosition(int number) const
{
    // -1 asks for the number of the current entry instead.
    if (number < 0)
    {
        const int current = m_portList->currentIndex();
        return current >= 0 ? CSerialPortList::PortNumberFromEntry(m_portList->itemText(current).toStdString()) : 0;
    }
    for (int position = 0; position < m_portList->count(); ++position)
    {
        if (CSerialPortList::PortNumberFromEntry(m_portList->itemText(position).toStdString()) == number)
            return position;
    }
    return -1;
}

int CQuillmereSettings::MonitorRowHeight() const
{
    return FontUnits::Down(this, CNetworkMonitorEditControl::kHeight);
}

void CQuillmereSettings::AddMonitorTask(CNetworkMonitor* monitor)
{
    m_tasksPane->AddLazyWindow(m_monitorGroup, MonitorRowHeight(),
                               [this, monitor]() -> QWidget* { return MakeMonitorEditor(monitor); });
}

CNetworkMonitorEditControl* CQuillmereSettings::MakeMonitorEditor(CNetworkMonitor* monitor)
{
    auto* editor = new CNetworkMonitorEditControl;
    editor->SetSettings(m_settings);
    editor->SetMonitor(monitor);
    // Made while the page is shown, so the monitor's change records are wanted afterwards,
    // but filling the editor raises none.
    editor->Create();
    editor->SetRemoveAllowed(m_removeAllowed);
    connect(editor, &CNetworkMonitorEditControl::RemoveRequested, this, &CQuillmereSettings::OnRemoveRequested);
    return editor;
}

std::vector<CNetworkMonitorEditControl*> CQuillmereSettings::MadeMonitorEditors() const
{
    std::vector<CNetworkMonitorEditControl*> editors;
    for (int task = 0; task < m_tasksPane->GetTaskCount(m_monitorGroup); ++task)
    {
        if (auto* editor = qobject_cast<CNetworkMonitorEditControl*>(m_tasksPane->GetTaskWindow(m_monitorGroup, task)))
            editors.push_back(editor);
    }
    return editors;
}

void CQuillmereSettings::AddNetworkMonitor()
{
    if (m_settings == nullptr || !m_initialised)
        return;
    CNetworkMonitor* monitor = m_settings->AddNetworkMonitor();
    if (monitor == nullptr)
        return;
    AddMonitorTask(monitor);
    // The operator is taken to the new editor: the group opens, the row scrolls into view
    // and its name takes the keyboard.
    m_tasksPane->SetGroupCollapsed(m_monitorGroup, false);
    const int task = m_tasksPane->GetTaskCount(m_monitorGroup) - 1;
    auto* editor = qobject_cast<CNetworkMonitorEditControl*>(m_tasksPane->MakeTaskWindow(m_monitorGroup, task));
    if (editor == nullptr)
        return;
    m_tasksPane->ensureWidgetVisible(editor, 0, 0);
    editor->FocusEventName();
    m_tasksPane->viewport()->update();
}

void CQuillmereSettings::OnSetActive()
{
    if (!m_initialised)
        FillControls();
    FillPortList();
    // The last test's result says nothing about the connection as it is now.
    m_result->clear();
    m_active = true;
    m_linkEndSeen = false;
    if (m_manager != nullptr)
        m_manager->Stop();
    RefreshRemoveAllowed();
    m_waitTimer->start();
}

void CQuillmereSettings::OnKillActive()
{
    m_active = false;
    m_waitTimer->stop();
    m_idleTimer->stop();
    EndWaitDialog();
    // A field still holding the focus has not been applied yet; the manager is about to
    // take the settings as they stand.
    for (CRelayEditControl* editor : m_relayEditors)
        editor->ApplyName();
    for (CNetworkMonitorEditControl* editor : MadeMonitorEditors())
        editor->ApplyTexts();
    if (m_manager == nullptr)
        return;
    m_manager->Connect();
    m_manager->StartPolling();
    m_manager->StartMonitorTimers();
}

void CQuillmereSettings::OnWaitTimer()
{
    // The worker may have ended in the 50 ms since the stop: its end was then already
    // reported, and a dialog opened now would wait for a message that never comes. So the
    // dialog opens only while the engine says the worker still runs; the worker's running
    // flag drops before its end is reported, so an end after this check always reaches the
    // dialog.
    if (!m_active || m_manager == nullptr || m_portList->currentIndex() < 0 || m_linkEndSeen ||
        !m_manager->IsLinkRunning() || m_waitDialog != nullptr)
        return;
    auto* dialog = new CProgressDialog(this);
    dialog->setObjectName(QStringLiteral("waitDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    m_waitDialog = dialog;
    // Modal to the whole program but without a nested loop, so nothing runs on after the
    // page has gone.
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}

void CQuillmereSettings::OnLinkThreadEnded()
{
    m_linkEndSeen = true;
    EndWaitDialog();
    RefreshRemoveAllowed();
}

void CQuillmereSettings::EndWaitDialog()
{
    if (m_waitDialog == nullptr)
        return;
    CProgressDialog* dialog = m_waitDialog;
    m_waitDialog = nullptr;
    dialog->EndDialog(0);
    dialog->deleteLater();
}

void CQuillmereSettings::OnRemoveRequested(CNetworkMonitorEditControl* editor)
{
    const int task = m_tasksPane->FindTask(m_monitorGroup, editor);
    if (task < 0)
        return;
    m_tasksPane->RemoveTask(m_monitorGroup, task);
    m_tasksPane->viewport()->update();
}

void CQuillmereSettings::OnRelayNamesChanged()
{
    for (CNetworkMonitorEditControl* editor : MadeMonitorEditors())
        editor->FillRelayList();
}

void CQuillmereSettings::OnGetStatus()
{
    if (m_manager == nullptr)
        return;
    const LinkStatus result = m_manager->TestConnection();
    if (result == LinkStatus::Ok)
        m_result->setText(QString::fromUtf8(kSuccessText));
    else
        m_result->setText(QString::fromStdString(GetErrorText(result)));
    emit ConnectionTested(result == LinkStatus::Ok, m_result->text());
}

void CQuillmereSettings::OnPortChanged(int position)
{
    if (m_settings == nullptr || position < 0)
        return;
    const std::string stablePath =
        static_cast<std::size_t>(position) < m_ports.size() ? m_ports[static_cast<std::size_t>(position)].stablePath
                                                           : std::string();
    if (!stablePath.empty())
    {
        // A USB adapter's default number follows the order the adapters were plugged in; a
        // link to its stable name keeps the choice through re-plugging and a second adapter.
        if (const int linked = CSerialPortList::LinkStablePath(m_linkFolder, stablePath); linked != 0)
        {
            m_settings->SetComPort(linked);
            const QSignalBlocker block(m_portList);
            m_portList->setCurrentIndex(-1);
            FillPortList();
            return;
        }
        m_result->setText(QString::fromUtf8(kLinkFailed)
                              .arg(QString::fromStdString(m_linkFolder), QString::fromLocal8Bit(std::strerror(errno))));
    }
    m_settings->SetComPort(CSerialPortList::PortNumberFromEntry(m_portList->itemText(position).toStdString()));
}

void CQuillmereSettings::OnLogLevelChanged(int position)
{
    if (m_settings == nullptr || position < 0)
        return;
    m_settings->SetLogLevel(static_cast<LogLevelValue>(position));
    ShowDebugWarning(position == LogLevelDebug);
}

void CQuillmereSettings::ShowDebugWarning(bool show)
{
    m_debugWarning->setVisible(show);
}

void CQuillmereSettings::RefreshRemoveAllowed()
{
    // A removed monitor's check still running would report into a settings object that has
    // already let go of it; so the Remove buttons wait until every check has ended.
    const bool idle = m_manager == nullptr || m_manager->IsIdle();
    m_removeAllowed = idle;
    for (CNetworkMonitorEditControl* editor : MadeMonitorEditors())
        editor->SetRemoveAllowed(idle);
    if (idle)
        m_idleTimer->stop();
    else if (m_active && !m_idleTimer->isActive())
        m_idleTimer->start();
}
