#pragma once

#include <QPointer>
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
//   [x] Event <name>
//   Ping <target> every <n> minute(s).
//   When <n> failure(s) <action> [<n> fail events]
//   for <relay> [stop action after <n> occurrences.]
// Each edit goes straight into the monitor through its setters. The editor does not observe
// the monitor: it shows what the monitor held when it was created.
class CNetworkMonitorEditControl : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 125;   // the row height in the "Network Monitors" group
    static constexpr int kIntervalMin = 1;
    static constexpr int kIntervalMax = 60;
    static constexpr int kCountMin = 1;
    static constexpr int kCountMax = 20;

    explicit CNetworkMonitorEditControl(QWidget* parent = nullptr);

    // Given by the page before Create.
    void SetSettings(CAppSettings* settings) { m_settings = settings; }
    void SetMonitor(CNetworkMonitor* monitor) { m_monitor = monitor; }
    void SetOwner(QObject* owner) { m_owner = owner; }
    // Given by the page once the window is in its group; sent back on removal.
    void SetTaskIndex(int index) { m_taskIndex = index; }
    int GetTaskIndex() const { return m_taskIndex; }

    // Fills the controls from the monitor. A stored number outside its field's range is
    // shown, and stored, at the nearest bound.
    void Create();

    // Null once the operator has removed the monitor.
    CNetworkMonitor* GetMonitor() const { return m_monitor; }
    bool IsRemoved() const { return m_removed; }

    // The page turns removal off while a check of the monitors may still be running.
    void SetRemoveAllowed(bool allowed);
    // Applies the event name and target if they differ from the monitor.
    void ApplyTexts();
    // Empties the relay list and fills it again from the settings, for names may have changed.
    void FillRelayList();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyVisibility(std::int32_t action);
    void OnRemoveClicked();
    void OnActionChanged(int position);
    void OnRelayChanged(int position);

    CAppSettings* m_settings = nullptr;
    CNetworkMonitor* m_monitor = nullptr;
    QPointer<QObject> m_owner;
    int m_taskIndex = -1;
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
};
