#include "TrayIcon.h"

#include <QMenu>
#include <QSystemTrayIcon>

CTrayIcon::CTrayIcon(QObject* parent)
    : QObject(parent),
      m_normalIcon(QStringLiteral(":/icons/quillmere-monitor.svg")),
      m_alertIcon(QStringLiteral(":/icons/quillmere-monitor-alert.svg")),
      m_menu(new QMenu(QStringLiteral("File"))),
      m_icon(new QSystemTrayIcon(m_normalIcon, this))
{
    m_icon->setToolTip(QString::fromLatin1(ToolTip));
    connect(m_menu->addAction(QStringLiteral("&Open")), &QAction::triggered, this, &CTrayIcon::OpenRequested);
    connect(m_menu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, &CTrayIcon::ExitRequested);
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A left click restores; the right button opens the context menu by itself.
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            emit OpenRequested();
    });
}

CTrayIcon::~CTrayIcon()
{
    // The menu has no parent, since a tray menu must be a top-level pop-up.
    m_icon->hide();
    delete m_menu;
}

void CTrayIcon::Show()
{
    m_icon->show();
}

void CTrayIcon::Remove()
{
    m_icon->hide();
}

void CTrayIcon::SetAlert(bool alert)
{
    m_alert = alert;
    m_icon->setIcon(alert ? m_alertIcon : m_normalIcon);
}

bool CTrayIcon::IsShown() const
{
    return m_icon->isVisible();
}

QIcon CTrayIcon::CurrentIcon() const
{
    return m_icon->icon();
}
