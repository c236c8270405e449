#pragma once

#include <QPixmap>
#include <QWidget>
#include <atomic>
#include <cstdint>

#include "core/Observer.h"

class QLabel;
class QPushButton;
class CCommandResponse;
class CQuillmereManager;

// One relay on the status page: the state bulb, the relay's name, a switch and a
// "Power Cycle" button, each button shown only when the relay's permission allows it.
// The picture follows the status model, the answers to this control's own toggles, and the
// device's unsolicited changes of this relay.
//
// Update runs on the link worker thread and only posts to the control. The destructor
// detaches from the status model and the manager; the program stops the link worker and
// every ping thread before its windows go, and the manager outlives them, so no
// notification is in flight then. The alive flag is a second line for anything that slips
// past that order: an Update that sees it cleared posts nothing.
class CRelayControl : public QWidget, public CObserver
{
    Q_OBJECT
public:
    static constexpr int kHeight = 38;   // the row height in the "Relays" group
    static constexpr int kIconSize = 24;

    // The control stays inert (no posts) until Create; the page calls it once it has set
    // the relay index and the manager.
    explicit CRelayControl(QWidget* parent = nullptr);
    ~CRelayControl() override;

    void SetRelayIndex(std::int32_t index) { m_relayIndex = index; }
    std::int32_t GetRelayIndex() const { return m_relayIndex; }
    void SetManager(CQuillmereManager* manager);
    void Create();

    // 0 when the relay is on, anything else when off, as the device reports it.
    std::uint8_t GetState() const { return m_state; }

    void Update(CEventArgs* args) override;

protected:
    bool event(QEvent* event) override;

private:
    void RefreshRelay();
    void ApplyResponse(const CCommandResponse& response);
    void ShowState();
    void OnSwitchClicked();
    void OnPowerCycleClicked();

    CQuillmereManager* m_manager = nullptr;
    std::int32_t m_relayIndex = 0;
    std::uint8_t m_state = 1;        // off until the device says otherwise: the unlit bulb first
    std::atomic<bool> m_created{false};
    std::atomic<bool> m_alive{true};

    QLabel* m_stateIcon = nullptr;
    QLabel* m_name = nullptr;
    QPushButton* m_switch = nullptr;
    QPushButton* m_powerCycle = nullptr;
};
