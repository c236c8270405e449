#include "RelayControl.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>

#include "config/AppSettings.h"
#include "config/RelaySetting.h"
#include "core/PrivateMessages.h"
#include "device/CommandCodes.h"
#include "device/CommandResponse.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "ui/PrivateEvent.h"

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

QPixmap RenderSvg(const QString& path)
{
    QImage image(CRelayControl::kIconSize, CRelayControl::kIconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return QPixmap::fromImage(image);
}

// Drawn once and shared by every control; only ever touched on the UI thread.
const RelayIcons& Icons()
{
    static const RelayIcons icons = [] {
        InitStatusResources();
        return RelayIcons{RenderSvg(QStringLiteral(":/status/power-on.svg")),
                          RenderSvg(QStringLiteral(":/status/power-off.svg")),
                          RenderSvg(QStringLiteral(":/status/bulb-lit.svg")),
                          RenderSvg(QStringLiteral(":/status/bulb-unlit.svg"))};
    }();
    return icons;
}
}

CRelayControl::CRelayControl(QWidget* parent) : QWidget(parent)
{
    m_stateIcon = new QLabel(this);
    m_stateIcon->setObjectName(QStringLiteral("stateIcon"));
    m_stateIcon->setFixedSize(kIconSize + 4, kIconSize + 2);
    m_stateIcon->setAlignment(Qt::AlignCenter);

    m_name = new QLabel(QString::fromUtf8(kTemplateName), this);
    m_name->setObjectName(QStringLiteral("relayName"));
    m_name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    m_switch = new QPushButton(this);
    m_switch->setObjectName(QStringLiteral("switchButton"));
    m_switch->setFixedSize(30, 26);
    m_switch->setIconSize(QSize(kIconSize, kIconSize));
    m_switch->setToolTip(QString::fromUtf8(kTurnOnTip));

    m_powerCycle = new QPushButton(QString::fromUtf8(kPowerCycleText), this);
    m_powerCycle->setObjectName(QStringLiteral("powerCycleButton"));
    m_powerCycle->setFixedHeight(26);
    m_powerCycle->setToolTip(QString::fromUtf8(kPowerCycleTip));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 4, 4, 4);
    layout->setSpacing(4);
    layout->addWidget(m_stateIcon);
    layout->addWidget(m_name, 1);
    layout->addWidget(m_switch);
    layout->addWidget(m_powerCycle);

    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    connect(m_switch, &QPushButton::clicked, this, &CRelayControl::OnSwitchClicked);
    connect(m_powerCycle, &QPushButton::clicked, this, &CRelayControl::OnPowerCycleClicked);
}

CRelayControl::~CRelayControl()
{
    m_alive.store(false);
    if (m_manager != nullptr)
    {
        if (CQuillmereDeviceStatus* status = m_manager->GetDeviceStatus())
            status->Detach(this);
        m_manager->Detach(this);
    }
}

void CRelayControl::SetManager(CQuillmereManager* manager)
{
    m_manager = manager;
    if (m_manager == nullptr)
        return;
    m_manager->AttachStatusObserver(this);
    m_manager->Attach(this);
}

void CRelayControl::Create()
{
    m_stateIcon->setPixmap(Icons().bulbUnlit);
    RefreshRelay();
    m_created.store(true);
}

void CRelayControl::Update(CEventArgs* args)
{
    if (!m_alive.load())
        return;
    if (dynamic_cast<CStatusChangedEventArgs*>(args) != nullptr)
    {
        PostPrivateMessage(this, PrivateMessage::StatusChanged);
        return;
    }
    if (auto* response = dynamic_cast<CCommandResponse*>(args); response != nullptr && m_created.load())
        PostPrivateMessage(this, PrivateMessage::CommandResponse, response->Clone());
}

bool CRelayControl::event(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(PrivateMessage::StatusChanged))
    {
        RefreshRelay();
        return true;
    }
    if (event->type() == static_cast<QEvent::Type>(PrivateMessage::CommandResponse))
    {
        if (auto* response = dynamic_cast<CCommandResponse*>(static_cast<CPrivateEvent*>(event)->Record()))
            ApplyResponse(*response);
        return true;
    }
    return QWidget::event(event);
}

void CRelayControl::RefreshRelay()
{
    if (m_manager == nullptr)
        return;
    if (CAppSettings* settings = m_manager->GetSettings())
    {
        if (const CRelaySetting* setting = settings->FindRelaySetting(m_relayIndex))
        {
            m_name->setText(setting->GetName().empty() ? QString::fromUtf8(kUnnamedRelayFormat).arg(m_relayIndex)
                                                       : QString::fromStdString(setting->GetName()));
            const RelayPermission permission = setting->GetPermission();
            // A value outside the table shows both, as "Both" does: nothing is hidden that
            // the operator might need.
            m_switch->setVisible(permission != RelayPermissionCycle);
            m_powerCycle->setVisible(permission != RelayPermissionOnOff);
        }
    }
    if (CQuillmereDeviceStatus* status = m_manager->GetDeviceStatus())
    {
        if (std::optional<CRelayStatus> relay = status->FindRelay(m_relayIndex))
            m_state = relay->GetState() == 0 ? 0 : 1;
    }
    ShowState();
}

void CRelayControl::ApplyResponse(const CCommandResponse& response)
{
    if (response.GetType() == CommandCode::RelayToggle)
    {
        const CSerialCommand* command = response.GetCommand();
        if (command == nullptr || command->Param1 != m_relayIndex)
            return;
        m_switch->setEnabled(true);
        if (response.GetResult() == 0)
        {
            m_state = m_state == 0 ? 1 : 0;
            ShowState();
        }
        return;
    }
    if (response.GetType() == CommandCode::UnsolicitedResponses)
    {
        const auto* unsolicited = dynamic_cast<const CUnsolicitedResponse*>(&response);
        // A failure report of the enabling command carries no relay change.
        if (unsolicited == nullptr || response.GetResult() != 0)
            return;
        unsigned char payload[3] = {};
        unsolicited->GetPayload(payload);
        if (payload[0] != m_relayIndex)
            return;
        m_state = payload[1] != 0 ? 1 : 0;
        ShowState();
    }
}

void CRelayControl::ShowState()
{
    const RelayIcons& icons = Icons();
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
    if (m_manager != nullptr)
        m_manager->PowerCycleRelayBy(m_relayIndex, CQuillmereManager::kByOperator);
}
