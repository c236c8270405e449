#pragma once

#include <QIcon>
#include <QObject>

class QMenu;
class QSystemTrayIcon;

// The icon in the notification area with its "Open"/"Exit" menu. It shows the grey link,
// or the orange one after a network-monitor failure until the window is next restored.
class CTrayIcon : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* ToolTip = "Quillmere Monitor";

    explicit CTrayIcon(QObject* parent = nullptr);
    ~CTrayIcon() override;

    void Show();
    void Remove();
    void SetAlert(bool alert);

    bool IsAlert() const { return m_alert; }
    bool IsShown() const;
    QIcon CurrentIcon() const;
    QMenu* Menu() const { return m_menu; }

signals:
    void OpenRequested();
    void ExitRequested();

private:
    QIcon m_normalIcon;
    QIcon m_alertIcon;
    QMenu* m_menu;
    QSystemTrayIcon* m_icon;
    bool m_alert = false;
};
