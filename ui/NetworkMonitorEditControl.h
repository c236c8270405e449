#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;
class CAppSettings;
class CNetworkMonitor;
class CSpinEdit;

// The editor of one network monitor on the settings page, read as a sentence:
//   [x]
//   Event <name>
//   Ping <target> every <n> minute(s).
//   When <n> failure(s) <action> [<n> fail events]
//   for <relay> [stop action after <n> occurrences.]
//   wait <n> minute(s) after a power cycle.
// Each edit goes straight into the monitor through its setters; opening the editor changes
// nothing in the monitor (its counters included) unless a stored number is outside its
// field's range. The editor does not observe the monitor: it shows what the monitor held
// when it was created.
class CNetworkMonitorEditControl : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 172;   // the row height in the "Network Monitors" group
    static constexpr int kIntervalMin = 1;
    static constexpr int kIntervalMax = 60;
    static constexpr int kCountMin = 1;
    static constexpr int kCountMax = 20;
    static constexpr int kGraceMax = 60;

    explicit CNetworkMonitorEditControl(QWidget* parent = nullptr);

    // Given by the page before Create.
    void SetSettings(CAppSettings* settings) { m_settings = settings; }
    void SetMonitor(CNetworkMonitor* monitor) { m_monitor = monitor; }

    // Fills the controls from the monitor. A stored number outside its field's range is
    // shown, and stored, at the nearest bound.
    void Create();

    // Null once the operator has removed the monitor.
    CNetworkMonitor* GetMonitor() const { return m_monitor; }
    bool IsRemoved() const { return m_removed; }

    // The page turns removal off while a check of the monitors may still be running.
    void SetRemoveAllowed(bool allowed);
    // Applies the event name and target if the operator changed them since they were shown:
    // a text is compared with what the field was filled with, not with the stored bytes,
    // so a stored name that is not valid UTF-8 stays as it is until someone edits it.
    void ApplyTexts();
    // Empties the relay list and fills it again from the settings, for names may have changed.
    void FillRelayList();
    // Puts the keyboard in the event name, for a monitor just added.
    void FocusEventName();

signals:
    // The monitor is gone from the settings; the page takes the editor away.
    void RemoveRequested(CNetworkMonitorEditControl* editor);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool IsTargetAccepted() const;
    static QString TargetFormsTip(const QString& refusal);
    // Red frame and a tooltip naming the forms while the text is no target; plain otherwise.
    void ShowTargetVerdict();

    void ApplyVisibility(std::int32_t action);
    void OnRemoveClicked();
    void OnActionChanged(int position);
    void OnRelayChanged(int position);

    CAppSettings* m_settings = nullptr;
    CNetworkMonitor* m_monitor = nullptr;
    QString m_shownName;     // what the fields were filled with, or last applied
    QString m_shownTarget;
    bool m_created = false;
    bool m_removed = false;

    QToolButton* m_remove;
    QLineEdit* m_eventName;
    QLineEdit* m_target;
    CSpinEdit* m_interval;
    CSpinEdit* m_threshold;
    QComboBox* m_action;
    CSpinEdit* m_cycleEvery;
    QLabel* m_failEvents;
    QComboBox* m_relay;
    QLabel* m_stopAfter;
    CSpinEdit* m_resetLimit;
    QLabel* m_occurrences;
    CSpinEdit* m_grace;
};
