#include "RelayEditControl.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

#include "config/RelayPermission.h"
#include "config/RelaySetting.h"
#include "WheelGuard.h"

namespace
{
constexpr const char* kCycleOptions = "Cycle Options";
constexpr std::int32_t kPermissions[] = {RelayPermissionBoth, RelayPermissionCycle, RelayPermissionOnOff};
}

CRelayEditControl::CRelayEditControl(QWidget* parent)
    : QWidget(parent), m_label(new QLabel(QStringLiteral("Relay 1"), this)), m_name(new QLineEdit(this)),
      m_permission(new QComboBox(this))
{
    // The interior of a group is the window colour; labels show it through.
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Base));
    setPalette(colours);

    m_label->setObjectName(QStringLiteral("relayLabel"));
    m_name->setObjectName(QStringLiteral("relayName"));
    m_permission->setObjectName(QStringLiteral("relayPermission"));
    m_label->setTextFormat(Qt::PlainText);
    GuardAgainstWheel(m_permission);
    for (const std::int32_t permission : kPermissions)
        m_permission->addItem(QString::fromStdString(RelayPermissionToText(permission)));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->addWidget(m_label);
    row->addWidget(m_name, 1);
    row->addSpacing(6);
    row->addWidget(new QLabel(QString::fromUtf8(kCycleOptions), this));
    row->addWidget(m_permission);

    m_name->installEventFilter(this);
}

void CRelayEditControl::Create()
{
    if (m_setting == nullptr)
        return;
    m_setting->SetSuppressNotifications(true);
    m_label->setText(QStringLiteral("Relay %1").arg(m_setting->GetIndex()));
    m_shownName = QString::fromStdString(m_setting->GetName());
    m_name->setText(m_shownName);
    m_permission->setCurrentIndex(static_cast<int>(m_setting->GetPermission()));
    m_setting->SetSuppressNotifications(false);
    // Connected only now: filling the list is not an edit.
    connect(m_permission, &QComboBox::currentIndexChanged, this, &CRelayEditControl::OnPermissionChanged,
            Qt::UniqueConnection);
}

bool CRelayEditControl::ApplyName()
{
    if (m_setting == nullptr)
        return false;
    if (m_name->text() == m_shownName)
        return false;
    m_shownName = m_name->text();
    m_setting->SetName(m_shownName.toStdString());
    emit NameChanged();
    return true;
}

bool CRelayEditControl::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_name && event->type() == QEvent::FocusOut)
        ApplyName();
    return QWidget::eventFilter(watched, event);
}

void CRelayEditControl::OnPermissionChanged(int position)
{
    if (m_setting == nullptr || position < 0)
        return;
    m_setting->SetPermission(static_cast<RelayPermission>(position));
}
