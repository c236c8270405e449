#pragma once

#include <QString>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class CRelaySetting;

// One relay's row in the "Relays" group of the settings page: "Relay <n>", its name and
// which operations the status page offers for it. Edits go straight into the relay setting;
// a changed name is signalled, and the page passes it on to the monitor editors.
class CRelayEditControl : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 35;   // the row height in the "Relays" group

    explicit CRelayEditControl(QWidget* parent = nullptr);

    void SetRelaySetting(CRelaySetting* setting) { m_setting = setting; }
    CRelaySetting* GetRelaySetting() const { return m_setting; }
    // Fills the controls from the relay setting without raising anything.
    void Create();

    // Applies the name field if the operator changed it since it was shown (not compared
    // with the stored bytes, which need not be UTF-8); true when it did. Runs when the field
    // loses the focus, and the page calls it before the manager takes the settings.
    bool ApplyName();

signals:
    void NameChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnPermissionChanged(int position);

    CRelaySetting* m_setting = nullptr;
    QString m_shownName;
    QLabel* m_label;
    QLineEdit* m_name;
    QComboBox* m_permission;
};
