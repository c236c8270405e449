#include "RelayControl.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <cmath>
#include <map>

#include "config/AppSettings.h"
#include "config/RelaySetting.h"
#include "core/PrivateMessages.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "EngineBridge.h"
#include "FontUnits.h"
#include "ElidedLabel.h"
#include "SvgPicture.h"

// Outside any namespace, as the resource initialiser requires; the icons live in a static
// library, whose resource object the linker would otherwise leave out.
static void InitStatusResources()
{
    Q_INIT_RESOURCE(status);
}

namespace
{
constexpr const char* kTurnOffTip = "Click to turn off";
constexpr const char* kTurnOnTip = "Click to turn on";
constexpr const char* kPowerCycleTip = "Cycle the power to the relay";
constexpr const char* kPowerCycleText = "Power Cycle";
constexpr const char* kTemplateName = "Relay";
constexpr const char* kUnnamedRelayFormat = "Relay %1";

struct RelayIcons
{
    QPixmap switchOn;    // blue power button
    QPixmap switchOff;   // black power button
    QPixmap bulbLit;
    QPixmap bulbUnlit;
};

QPixmap RenderSvg(const QString& path, qreal ratio)
{
    return RenderSvgPixmap(path, QSize(CRelayControl::kIconSize, CRelayControl::kIconSize), ratio);
}

// Drawn once per screen density and shared by every control; only ever touched on the UI
// thread.
const RelayIcons& Icons(qreal ratio)
{
    static std::map<int, RelayIcons> drawn;
    const int key = static_cast<int>(std::lround(ratio * 100));
    auto found = drawn.find(key);
    if (found == drawn.end())
    {
        InitStatusResources();
        found = drawn
                    .emplace(key, RelayIcons{RenderSvg(QStringLiteral(":/status/power-on.svg"), ratio),
                                             RenderSvg(QStringLiteral(":/status/power-off.svg"), ratio),
                                             RenderSvg(QStringLiteral(":/status/bulb-lit.svg"), ratio),
                                             RenderSvg(QStringLiteral(":/status/bulb-unlit.svg"), ratio)})
                    .first;
    }
    return found->second;
}
}

CRelayControl::CRelayControl(QWidget* parent) : QWidget(parent)
{
    m_stateIcon = new QLabel(this);
    m_stateIcon->setObjectName(QStringLiteral("stateIcon"));
    m_stateIcon->setFixedSize(kIconSize + 4, kIconSize + 2);
    m_stateIcon->setAlignment(Qt::AlignCenter);

    m_name = new CElidedLabel(this);
    m_name->setObjectName(QStringLiteral("relayName"));
    m_name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_name->SetFullText(QString::fromUtf8(kTemplateName));

    m_switch = new QPushButton(this);
    m_switch->setObjectName(QStringLiteral("switchButton"));
    // 30 x 26 at the original font; never smaller than its icon and frame need.
    m_switch->setMinimumSize(FontUnits::Across(m_switch, 30), FontUnits::Down(m_switch, 26));
    m_switch->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_switch->setAccessibleName(QStringLiteral("Switch"));
    m_switch->setIconSize(QSize(kIconSize, kIconSize));
    m_switch->setToolTip(QString::fromUtf8(kTurnOnTip));

    m_powerCycle = new QPushButton(QString::fromUtf8(kPowerCycleText), this);
    m_powerCycle->setObjectName(QStringLiteral("powerCycleButton"));
    m_powerCycle->setMinimumHeight(FontUnits::Down(m_powerCycle, 26));
    m_powerCycle->setToolTip(QString::fromUtf8(kPowerCycleTip));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 4, 4, 4);
    layout->setSpacing(4);
    layout->addWidget(m_stateIcon);
    layout->addWidget(m_name, 1);
    layout->addWidget(m_switch);
    layout->addWidget(m_powerCycle);

    // The group's interior colour, as the other controls in the panel have.
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);

    connect(m_switch, &QPushButton::clicked, this, &CRelayControl::OnSwitchClicked);
    connect(m_powerCycle, &QPushButton::clicked, this, &CRelayControl::OnPowerCycleClicked);
}

CRelayControl::~CRelayControl() = default;

void CRelayControl::SetManager(CQuillmereManager* manager)
{
    m_manager = manager;
}

void CRelayControl::Create()
{
    if (m_bridge != nullptr)
        return;
    m_stateIcon->setPixmap(Icons(devicePixelRatioF()).bulbUnlit);
    RefreshSetting();
    if (m_manager == nullptr)
    {
        ShowState();
        return;
    }
    if (CQuillmereDeviceStatus* status = m_manager->GetDeviceStatus())
    {
        if (std::optional<CRelayStatus> relay = status->FindRelay(m_relayIndex))
        {
            m_state = relay->GetState() == 0 ? 0 : 1;
            m_modelState = m_state;
        }
    }
    ShowState();

    m_bridge = std::make_unique<CEngineBridge>(this);
    m_bridge->OnRefresh<CStatusChangedEventArgs>(
        PrivateMessage::StatusChanged, [this] { Refresh(); },
        [this](const CStatusChangedEventArgs&) { return NoteModel(); });
    m_bridge->OnRefresh<CCommandResponse>(
        PrivateMessage::CommandResponse, [this] { Refresh(); },
        [this](const CCommandResponse& response) { return NoteResponse(response); });
    // The worker's end drops whatever was still queued: a power cycle waits no longer.
    m_bridge->OnRefresh<CNetworkThreadCompletedEventArgs>(PrivateMessage::LinkThreadEnded, [this] { Refresh(); },
                                                          [this](const CNetworkThreadCompletedEventArgs&) {
                                                              std::lock_guard<std::mutex> guard(m_newsMutex);
                                                              m_news.cycleAnswered = true;
                                                              return true;
                                                          });
    m_bridge->Attach(m_manager->GetDeviceStatus());
    m_bridge->Attach(m_manager);
}

bool CRelayControl::NoteModel()
{
    // Raising thread: the model has just changed some field. Only a change of this relay's
    // own record is news about its state; every status change re-reads the setting.
    std::optional<std::uint8_t> state;
    if (CQuillmereDeviceStatus* status = m_manager->GetDeviceStatus())
    {
        if (std::optional<CRelayStatus> relay = status->FindRelay(m_relayIndex))
            state = relay->GetState() == 0 ? 0 : 1;
    }
    std::lock_guard<std::mutex> guard(m_newsMutex);
    if (state != m_modelState)
    {
        m_modelState = state;
        if (state)
            m_news.state = state;
    }
    return true;
}

bool CRelayControl::NoteResponse(const CCommandResponse& response)
{
    const CSerialCommand* command = response.GetCommand();
    const bool mine = command != nullptr && command->Param1 == m_relayIndex;
    std::lock_guard<std::mutex> guard(m_newsMutex);
    switch (response.GetType())
    {
    case CommandCode::RelayToggle:
        if (!mine)
            return false;
        m_news.switchAnswered = true;
        // The state asked for is the state the unit confirmed.
        if (response.GetResult() == LinkStatus::Ok)
            m_news.state = command->Param2 != 0 ? 1 : 0;
        return true;
    case CommandCode::RelayTestCycle:
        if (!mine)
            return false;
        m_news.cycleAnswered = true;
        return true;
    case CommandCode::UnsolicitedResponses: {
        const auto* unsolicited = dynamic_cast<const CUnsolicitedResponse*>(&response);
        // A failure report of the enabling command carries no relay change.
        if (unsolicited == nullptr || response.GetResult() != LinkStatus::Ok)
            return false;
        unsigned char payload[3] = {};
        unsolicited->GetPayload(payload);
        if (payload[0] != m_relayIndex)
            return false;
        m_news.state = payload[1] != 0 ? 1 : 0;
        return true;
    }
    default:
        return false;
    }
}

void CRelayControl::Refresh()
{
    News news;
    {
        std::lock_guard<std::mutex> guard(m_newsMutex);
        news = m_news;
        m_news = News{};
    }
    RefreshSetting();
    if (news.state)
        m_state = *news.state;
    if (news.switchAnswered)
        m_switch->setEnabled(true);
    if (news.cycleAnswered)
        m_powerCycle->setEnabled(true);
    ShowState();
}

void CRelayControl::RefreshSetting()
{
    if (m_manager == nullptr)
        return;
    CAppSettings* settings = m_manager->GetSettings();
    const CRelaySetting* setting = settings != nullptr ? settings->FindRelaySetting(m_relayIndex) : nullptr;
    if (setting == nullptr)
        return;
    const QString name = setting->GetName().empty() ? QString::fromUtf8(kUnnamedRelayFormat).arg(m_relayIndex)
                                                    : QString::fromStdString(setting->GetName());
    m_name->SetFullText(name);
    m_switch->setAccessibleName(QStringLiteral("Switch %1").arg(name));
    m_powerCycle->setAccessibleName(QStringLiteral("%1 %2").arg(QString::fromUtf8(kPowerCycleText), name));
    const RelayPermission permission = setting->GetPermission();
    // A value outside the table shows both, as "Both" does: nothing is hidden that the
    // operator might need.
    m_switch->setVisible(permission != RelayPermissionCycle);
    m_powerCycle->setVisible(permission != RelayPermissionOnOff);
}

void CRelayControl::ShowState()
{
    const RelayIcons& icons = Icons(devicePixelRatioF());
    const bool on = m_state == 0;
    m_switch->setIcon(QIcon(on ? icons.switchOn : icons.switchOff));
    m_stateIcon->setPixmap(on ? icons.bulbLit : icons.bulbUnlit);
    m_switch->setToolTip(QString::fromUtf8(on ? kTurnOffTip : kTurnOnTip));
    m_switch->repaint();
}

void CRelayControl::OnSwitchClicked()
{
    if (m_manager != nullptr)
        m_manager->SetRelayBy(m_relayIndex, m_state == 0 ? 1 : 0, CQuillmereManager::kByOperator);
    m_switch->setEnabled(false);
}

void CRelayControl::OnPowerCycleClicked()
{
    if (m_manager == nullptr)
        return;
    m_powerCycle->setEnabled(false);
    m_manager->PowerCycleRelayBy(m_relayIndex, CQuillmereManager::kByOperator);
}
