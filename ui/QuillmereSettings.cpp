#include "QuillmereSettings.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>

#include "RelayEditControl.h"
#include "SerialPortList.h"
#include "SpinEdit.h"
#include "TasksPane.h"
#include "config/AppSettings.h"
#include "config/LogLevelValue.h"
#include "core/EventArgs.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereManager.h"
#include "device/StatusCodes.h"
#include "link/ProgressDialog.h"
#include "netmon/NetworkMonitorEditControl.h"
#include "ui/PrivateEvent.h"

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
}

CQuillmereSettings::CQuillmereSettings(QWidget* parent)
    : CPropertyPage(parent), m_portSource([] { return CSerialPortList::GetPortNames(); }),
      m_portList(new QComboBox(this)), m_getStatus(new QPushButton(QStringLiteral("Get Status"), this)),
      m_result(new QLabel(this)), m_interval(new CSpinEdit(this)), m_logLevel(new QComboBox(this)),
      m_debugWarning(new QLabel(QString::fromUtf8(kDebugWarning), this)), m_tasksPane(new CTasksPane(this)),
      m_waitTimer(new QTimer(this)), m_idleTimer(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Settings"));
    m_portList->setObjectName(QStringLiteral("portList"));
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
    m_tasksPane->setMinimumSize(kPaneWidth, kPaneHeight);
    for (const std::int32_t level : kLogLevels)
        m_logLevel->addItem(QString::fromStdString(LogLevelValueToText(level)));

    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(8);
    fields->setVerticalSpacing(4);
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
    m_alive.store(false);
    EndWaitDialog();
    if (m_manager != nullptr)
        m_manager->Detach(this);
}

void CQuillmereSettings::SetManager(CQuillmereManager* manager)
{
    if (m_manager != nullptr || manager == nullptr)
        return;   // wired once, for the life of the main window
    m_manager = manager;
    m_manager->Attach(this);
    m_settings = m_manager->GetSettings();
    FillControls();
}

void CQuillmereSettings::FillControls()
{
    if (m_settings == nullptr || m_initialised)
        return;
    m_settings->SetSuppressNotifications(true);

    m_interval->setValue(m_settings->GetStatusPollIntervalInMinutes());
    // Stored as shown: a value from the file outside 1..60 becomes its nearest bound.
    m_settings->SetStatusPollIntervalInMinutes(m_interval->value());

    FillPortList();

    m_logLevel->setCurrentIndex(static_cast<int>(m_settings->GetLogLevel()));
    ShowDebugWarning(m_settings->GetLogLevel() == LogLevelDebug);

    m_relayGroup = m_tasksPane->AddGroup(QString::fromUtf8(kRelaysGroup));
    for (CRelaySetting* setting : m_settings->GetRelaySettings())
    {
        auto* editor = new CRelayEditControl;
        editor->SetRelaySetting(setting);
        editor->Create();
        if (m_tasksPane->AddWindow(m_relayGroup, editor, CRelayEditControl::kHeight) < 0)
        {
            delete editor;
            continue;
        }
        editor->SetOwner(this);
        m_relayEditors.push_back(editor);
    }

    m_monitorGroup = m_tasksPane->AddGroup(QString::fromUtf8(kMonitorsGroup));
    m_tasksPane->AddCommandTask(m_monitorGroup, QString::fromUtf8(kAddMonitorText), [this] { AddNetworkMonitor(); });
    for (const std::shared_ptr<CNetworkMonitor>& monitor : m_settings->GetNetworkMonitors())
        CreateMonitorEditor(monitor.get());
    m_tasksPane->SetGroupCollapsed(m_monitorGroup, true);

    m_settings->SetSuppressNotifications(false);
    m_initialised = true;
    // Connected only now: filling the lists is not an edit.
    connect(m_portList, &QComboBox::currentIndexChanged, this, &CQuillmereSettings::OnPortChanged);
    connect(m_logLevel, &QComboBox::currentIndexChanged, this, &CQuillmereSettings::OnLogLevelChanged);
    RefreshRemoveAllowed();
}

void CQuillmereSettings::FillPortList()
{
    std::vector<std::string> names = m_portSource ? m_portSource() : std::vector<std::string>();
    if (names.size() > CSerialPortList::MaxPorts)
        names.resize(CSerialPortList::MaxPorts);
    // A sorted list orders its entries as text: COM10 comes before COM2.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return QString::compare(QString::fromStdString(a), QString::fromStdString(b), Qt::CaseInsensitive) < 0;
    });
    m_portList->clear();
    for (const std::string& name : names)
        m_portList->addItem(QString::fromStdString(name));
    int selected = -1;
    for (int position = 0; position < m_portList->count(); ++position)
    {
        if (CSerialPortList::PortNumberFromEntry(m_portList->itemText(position).toStdString()) ==
            m_settings->GetComPort())
        {
            selected = position;
            break;
        }
    }
    m_portList->setCurrentIndex(selected);
}

CNetworkMonitorEditControl* CQuillmereSettings::CreateMonitorEditor(CNetworkMonitor* monitor)
{
    auto* editor = new CNetworkMonitorEditControl;
    editor->SetSettings(m_settings);
    editor->SetMonitor(monitor);
    editor->SetOwner(this);
    editor->Create();
    const int task = m_tasksPane->AddWindow(m_monitorGroup, editor, CNetworkMonitorEditControl::kHeight);
    if (task < 0)
    {
        delete editor;
        return nullptr;
    }
    editor->SetTaskIndex(task);
    m_monitorEditors.emplace_back(editor);
    return editor;
}

std::vector<CNetworkMonitorEditControl*> CQuillmereSettings::GetMonitorEditors() const
{
    std::vector<CNetworkMonitorEditControl*> editors;
    for (const QPointer<CNetworkMonitorEditControl>& editor : m_monitorEditors)
    {
        if (editor != nullptr)
            editors.push_back(editor);
    }
    return editors;
}

CProgressDialog* CQuillmereSettings::GetWaitDialog() const
{
    return m_waitDialog;
}

void CQuillmereSettings::AddNetworkMonitor()
{
    if (m_settings == nullptr || !m_initialised)
        return;
    CNetworkMonitor* monitor = m_settings->AddNetworkMonitor();
    if (monitor == nullptr)
        return;
    if (CNetworkMonitorEditControl* editor = CreateMonitorEditor(monitor))
        editor->SetRemoveAllowed(m_manager == nullptr || m_manager->IsIdle());
    m_tasksPane->viewport()->update();
}

void CQuillmereSettings::OnSetActive()
{
    m_active = true;
    m_linkEndSeen = false;
    if (m_manager != nullptr)
        m_manager->Stop(true);
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
    for (CNetworkMonitorEditControl* editor : GetMonitorEditors())
        editor->ApplyTexts();
    if (m_manager == nullptr)
        return;
    m_manager->Connect();
    m_manager->StartPolling();
    m_manager->StartMonitorTimers();
}

void CQuillmereSettings::Update(CEventArgs* args)
{
    if (m_alive.load() && dynamic_cast<CNetworkThreadCompletedEventArgs*>(args) != nullptr)
        PostPrivateMessage(this, PrivateMessage::LinkThreadEnded);
}

bool CQuillmereSettings::event(QEvent* event)
{
    const int type = static_cast<int>(event->type());
    if (type == PrivateMessage::LinkThreadEnded)
    {
        OnLinkThreadEnded();
        return true;
    }
    if (type == PrivateMessage::MonitorRemoved)
    {
        OnMonitorRemoved(static_cast<int>(static_cast<CPrivateEvent*>(event)->WParam()));
        return true;
    }
    if (type == PrivateMessage::RelayNamesChanged)
    {
        OnRelayNamesChanged();
        return true;
    }
    return CPropertyPage::event(event);
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

void CQuillmereSettings::OnMonitorRemoved(int taskIndex)
{
    // Indexes are positions and move up when a task above goes; the page renumbers its
    // editors at each removal, and takes out only a task whose editor really removed its
    // monitor, so a stale index can never take away another monitor's editor.
    auto isRemovedEditor = [this](int task) {
        auto* editor = qobject_cast<CNetworkMonitorEditControl*>(m_tasksPane->GetTaskWindow(m_monitorGroup, task));
        return editor != nullptr && editor->IsRemoved() ? editor : nullptr;
    };
    int task = isRemovedEditor(taskIndex) != nullptr ? taskIndex : -1;
    for (int candidate = 0; task < 0 && candidate < m_tasksPane->GetTaskCount(m_monitorGroup); ++candidate)
    {
        if (isRemovedEditor(candidate) != nullptr)
            task = candidate;
    }
    if (task < 0)
        return;
    CNetworkMonitorEditControl* editor = isRemovedEditor(task);
    std::erase_if(m_monitorEditors, [editor](const QPointer<CNetworkMonitorEditControl>& held) {
        return held == nullptr || held == editor;
    });
    m_tasksPane->RemoveTask(m_monitorGroup, task);
    for (CNetworkMonitorEditControl* other : GetMonitorEditors())
    {
        if (other->GetTaskIndex() > task)
            other->SetTaskIndex(other->GetTaskIndex() - 1);
    }
    m_tasksPane->viewport()->update();
}

void CQuillmereSettings::OnRelayNamesChanged()
{
    for (int task = 0; task < m_tasksPane->GetTaskCount(m_monitorGroup); ++task)
    {
        if (auto* editor = qobject_cast<CNetworkMonitorEditControl*>(m_tasksPane->GetTaskWindow(m_monitorGroup, task)))
            PostPrivateMessage(editor, PrivateMessage::RelayNamesChanged);
    }
}

void CQuillmereSettings::OnGetStatus()
{
    if (m_manager == nullptr)
        return;
    const int result = m_manager->TestConnection();
    if (result == 0)
        m_result->setText(QString::fromUtf8(kSuccessText));
    else
        m_result->setText(QString::fromStdString(GetErrorText(static_cast<std::int16_t>(result))));
}

void CQuillmereSettings::OnPortChanged(int position)
{
    if (m_settings == nullptr || position < 0)
        return;
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
    for (CNetworkMonitorEditControl* editor : GetMonitorEditors())
        editor->SetRemoveAllowed(idle);
    if (idle)
        m_idleTimer->stop();
    else if (m_active && !m_idleTimer->isActive())
        m_idleTimer->start();
}
