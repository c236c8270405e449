#include "QuillmereStatus.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>
#include <ctime>

#include "RelayControl.h"
#include "SignualStatic.h"
#include "TasksPane.h"
#include "config/AppSettings.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "log/NowText.h"
#include "EngineBridge.h"
#include "FontUnits.h"

namespace
{
constexpr const char* kResetText = "Reset";
constexpr const char* kResetTip = "Reset the device";
constexpr const char* kRelaysGroup = "Relays";
constexpr const char* kPaneCaption = "Status";
// The group panel's size and left edge on the page, in pixels; the fields above it fill the
// page down to about 150 pixels.
constexpr int kPaneLeft = 5;
constexpr int kPaneWidth = 495 - 5;
constexpr int kPaneHeight = 400 - 150;
constexpr const char* kNoAnswerSince = "No answer from the unit since %1";
constexpr const char* kNoAnswerYet = "No answer from the unit";
constexpr std::time_t kSecondsPerDay = 24 * 60 * 60;

QString NotAvailable()
{
    return QString::fromUtf8(CQuillmereStatus::kNotAvailable);
}

QString DateTimeText(std::time_t value)
{
    if (value == 0)
        return NotAvailable();
    std::tm local{};
    if (localtime_r(&value, &local) == nullptr)
        return QString::fromUtf8(kInvalidDateTimeText);
    // The user's locale: the program's start (QApplication on POSIX) sets it for the C library.
    char text[128];
    if (std::strftime(text, sizeof text, "%x %X", &local) == 0)
        return QString::fromUtf8(kInvalidDateTimeText);
    return QString::fromLocal8Bit(text);
}

QString UptimeText(std::int32_t seconds)
{
    if (seconds == 0)
        return NotAvailable();
    return QStringLiteral("%1 hours %2 minutes %3 seconds")
        .arg(seconds / 3600)
        .arg((seconds % 3600) / 60)
        .arg(seconds % 60);
}

QString RadioTypeText(std::int32_t radioType)
{
    switch (radioType)
    {
    case 0:
        return QStringLiteral("2G");
    case 1:
        return QStringLiteral("3G");
    default:
        return NotAvailable();
    }
}

// The time of day for an answer today; the date as well for an older one.
QString LastAnswerText(std::time_t when, std::time_t now)
{
    std::tm local{};
    char text[128];
    if (localtime_r(&when, &local) == nullptr ||
        std::strftime(text, sizeof text, now - when < kSecondsPerDay ? "%H:%M:%S" : "%x %X", &local) == 0)
        return QString::fromUtf8(kInvalidDateTimeText);
    return QString::fromLocal8Bit(text);
}

QLabel* MakeField(const QString& name, QWidget* parent)
{
    auto* field = new QLabel(NotAvailable(), parent);
    field->setObjectName(name);
    field->setTextFormat(Qt::PlainText);   // the unit's texts are never markup
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return field;
}
}

CQuillmereStatus::CQuillmereStatus(QWidget* parent) : CPropertyPage(parent)
{
    setWindowTitle(QStringLiteral("Status"));

    m_gauge = new CSignualStatic(this);
    m_gauge->setObjectName(QStringLiteral("signalGauge"));
    m_rssi = MakeField(QStringLiteral("rssiField"), this);
    m_reset = new QPushButton(QString::fromUtf8(kResetText), this);
    m_reset->setObjectName(QStringLiteral("resetButton"));
    m_reset->setToolTip(QString::fromUtf8(kResetTip));
    connect(m_reset, &QPushButton::clicked, this, [this] {
        if (m_manager != nullptr)
            m_manager->ResetDeviceBy(CQuillmereManager::kByOperator);
    });

    m_dateTime = MakeField(QStringLiteral("dateTimeField"), this);
    m_iccid = MakeField(QStringLiteral("iccidField"), this);
    m_radioType = MakeField(QStringLiteral("radioTypeField"), this);
    m_firmware = MakeField(QStringLiteral("firmwareField"), this);
    m_uptime = MakeField(QStringLiteral("uptimeField"), this);
    m_gsm = MakeField(QStringLiteral("gsmField"), this);
    m_door = MakeField(QStringLiteral("doorField"), this);

    auto* top = new QHBoxLayout;
    top->addWidget(m_gauge);
    top->addSpacing(4);
    top->addWidget(new QLabel(QStringLiteral("Signal Strength"), this));
    top->addSpacing(8);
    top->addWidget(m_rssi, 1);
    top->addWidget(m_reset);

    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(12);
    fields->setVerticalSpacing(2);
    const std::pair<const char*, QLabel*> rows[] = {
        {"Date/Time", m_dateTime}, {"ICCID", m_iccid}, {"Radio Type", m_radioType}, {"Firmware", m_firmware},
        {"Uptime", m_uptime},      {"GSM", m_gsm},     {"Door", m_door},
    };
    int row = 0;
    for (const auto& [label, field] : rows)
    {
        auto* caption = new QLabel(QString::fromUtf8(label), this);
        caption->setObjectName(QStringLiteral("caption%1").arg(row));
        fields->addWidget(caption, row, 0);
        fields->addWidget(field, row, 1);
        ++row;
    }
    fields->setColumnStretch(1, 1);

    m_tasksPane = new CTasksPane(this);
    m_tasksPane->setObjectName(QStringLiteral("relayPane"));
    m_tasksPane->SetCaption(QString::fromUtf8(kPaneCaption));
    m_tasksPane->SetPreferredSize(QSize(FontUnits::Across(this, kPaneWidth), FontUnits::Down(this, kPaneHeight)));
    m_relayGroup = m_tasksPane->AddGroup(QString::fromUtf8(kRelaysGroup));

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(kPaneLeft, 10, kPaneLeft, 5);
    page->addLayout(top);
    page->addSpacing(4);
    page->addLayout(fields);
    m_unreachable = new QLabel(this);
    m_unreachable->setObjectName(QStringLiteral("unreachableField"));
    m_unreachable->setTextFormat(Qt::PlainText);
    m_unreachable->setHidden(true);
    page->addWidget(m_unreachable);
    m_remote = new QLabel(this);
    m_remote->setObjectName(QStringLiteral("remoteField"));
    m_remote->setTextFormat(Qt::PlainText);
    m_remote->setHidden(true);
    page->addWidget(m_remote);
    page->addStretch(1);
    page->addWidget(m_tasksPane, 4);

    SetEmptyLook();
}

CQuillmereStatus::~CQuillmereStatus() = default;

void CQuillmereStatus::SetManager(CQuillmereManager* manager)
{
    if (m_manager != nullptr || manager == nullptr)
        return;   // the page is wired once, for the life of the main window
    m_manager = manager;
    m_bridge = std::make_unique<CEngineBridge>(this);
    m_bridge->OnRefresh<CStatusChangedEventArgs>(PrivateMessage::StatusChanged, [this] { Refresh(); });
    m_bridge->OnRefresh<CUnitReachabilityChangedEventArgs>(PrivateMessage::StatusChanged,
                                                            [this] { RefreshReachability(); });
    m_bridge->OnRefresh<CRemoteLineChangedEventArgs>(PrivateMessage::StatusChanged, [this] { RefreshRemoteLine(); });
    m_bridge->Attach(m_manager->GetDeviceStatus());
    m_bridge->Attach(m_manager);
    CreateRelayControls();
    RefreshRemoteLine();
    RefreshReachability();
    // The fields keep their empty look until the first status change: the model's starting
    // values (door closed, radio type 0) are not what the device said.
}

void CQuillmereStatus::CreateRelayControls()
{
    CAppSettings* settings = m_manager->GetSettings();
    if (settings == nullptr)
        return;
    for (CRelaySetting* setting : settings->GetRelaySettings())
    {
        auto* control = new CRelayControl;
        control->SetRelayIndex(setting->GetIndex());
        control->SetManager(m_manager);
        control->Create();
        m_tasksPane->AddWindow(m_relayGroup, control, FontUnits::Down(control, kRelayRowHeight));
        m_relayControls.push_back(control);
    }
}

void CQuillmereStatus::RefreshRemoteLine()
{
    // The manager holds the newest line; a record only says that it changed.
    const std::string line = m_manager != nullptr ? m_manager->GetRemoteLine() : std::string();
    m_remote->setText(QString::fromStdString(line));
    m_remote->setHidden(line.empty());
}

void CQuillmereStatus::RefreshReachability()
{
    if (m_manager == nullptr)
        return;
    const CUnitReachability& reachability = m_manager->GetReachability();
    const bool gone = reachability.IsUnreachable();
    // Greyed, the last values read as what they are: what the unit said when it last answered.
    for (QWidget* field : std::initializer_list<QWidget*>{m_dateTime, m_iccid, m_firmware, m_uptime, m_gsm, m_rssi,
                                                          m_radioType, m_door, m_gauge})
        field->setEnabled(!gone);
    for (CRelayControl* control : m_relayControls)
        control->SetStale(gone);
    const std::time_t last = reachability.GetLastAnswerTime();
    m_unreachable->setText(last == 0 ? QString::fromUtf8(kNoAnswerYet)
                                     : QString::fromUtf8(kNoAnswerSince).arg(LastAnswerText(last, std::time(nullptr))));
    m_unreachable->setHidden(!gone);
}

void CQuillmereStatus::SetEmptyLook()
{
    for (QLabel* field : {m_dateTime, m_iccid, m_firmware, m_uptime, m_gsm, m_rssi, m_radioType, m_door})
        field->setText(NotAvailable());
    m_gauge->SetValue(CQuillmereDeviceStatus::RssiNoSignal);
}

void CQuillmereStatus::Refresh()
{
    if (m_manager == nullptr || m_manager->GetDeviceStatus() == nullptr)
        return;
    const CQuillmereDeviceStatus& status = *m_manager->GetDeviceStatus();

    m_dateTime->setText(DateTimeText(status.GetDateTime()));

    const std::string iccid = status.GetIccid();
    m_iccid->setText(iccid.empty() ? NotAvailable() : QString::fromStdString(iccid));

    m_radioType->setText(RadioTypeText(status.GetRadioType()));

    const CQuillmereDeviceStatus::Firmware firmware = status.GetFirmware();
    m_firmware->setText(firmware.major > 0
                            ? QStringLiteral("%1.%2.%3").arg(firmware.major).arg(firmware.minor).arg(firmware.build)
                            : NotAvailable());

    m_uptime->setText(UptimeText(status.GetUptime()));
    m_gsm->setText(status.GetGsmActive() ? QStringLiteral("Active") : QStringLiteral("Inactive"));
    m_door->setText(status.GetDoorOpen() ? QStringLiteral("Open") : QStringLiteral("Closed"));

    const std::int32_t rssi = status.GetRssi();
    m_rssi->setText(CQuillmereDeviceStatus::HasSignal(rssi) ? QStringLiteral("%1 dBm").arg(rssi) : NotAvailable());
    m_gauge->SetValue(rssi);
}
