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
    // 30 x 26 at an 8-point font; never smaller than its icon and frame need.
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
    m_bridge = std::make_unique<CEngineBridge>(this);
    // Any status change re-reads the relay's name and permission.
    m_bridge->OnRefresh<CStatusChangedEventArgs>(PrivateMessage::StatusChanged, [this] { Refresh(); });
    m_bridge->OnRefresh<CRelayStateChangedEventArgs>(
        PrivateMessage::StatusChanged, [this] { Refresh(); },
        [this](const CRelayStateChangedEventArgs& change) { return NoteRelayState(change); });
    m_bridge->OnRefresh<CCommandResponse>(
        PrivateMessage::CommandResponse, [this] { Refresh(); },
        [this](const CCommandResponse& response) { return NoteResponse(response); });
    // The worker's end drops whatever was still queued (a stop, a Settings visit): neither a
    // switch nor a power cycle waits any longer; the next relay status shows what the unit did.
    m_bridge->OnRefresh<CNetworkThreadCompletedEventArgs>(PrivateMessage::LinkThreadEnded, [this] { Refresh(); },
                                                          [this](const CNetworkThreadCompletedEventArgs&) {
                                                              std::lock_guard<std::mutex> guard(m_newsMutex);
                                                              m_news.switchAnswered = true;
                                                              m_news.cycleAnswered = true;
                                                              return true;
                                                          });
    m_bridge->Attach(m_manager->GetDeviceStatus());
    m_bridge->Attach(m_manager);
    // Read after attaching: a change raised meanwhile is noted too, and it is the newer one.
    const std::int32_t known = m_manager->GetRelayStates().GetState(m_relayIndex);
    if (known != CRelayStates::kUnknown)
        m_state = static_cast<std::uint8_t>(known);
    ShowState();
}

bool CRelayControl::NoteRelayState(const CRelayStateChangedEventArgs& change)
{
    // Raising thread, in the decider's order: the last one before the refresh wins.
    if (change.Relay != m_relayIndex || change.NewState < 0)
        return false;
    std::lock_guard<std::mutex> guard(m_newsMutex);
    m_news.state = static_cast<std::uint8_t>(change.NewState);
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
        return true;
    case CommandCode::RelayTestCycle:
        if (!mine)
            return false;
        m_news.cycleAnswered = true;
        return true;
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
    m_switch->setVisible(RelayPermissionAllowsSwitch(setting->GetPermission()));
    m_powerCycle->setVisible(RelayPermissionAllowsCycle(setting->GetPermission()));
}

void CRelayControl::SetStale(bool stale)
{
    m_stateIcon->setEnabled(!stale);
    m_name->setEnabled(!stale);
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
