#pragma once

#include <QPixmap>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class QLabel;
class CElidedLabel;
class QPushButton;
class CCommandResponse;
class CEngineBridge;
class CQuillmereManager;
class CRelayStateChangedEventArgs;

// One relay on the status page: the state bulb, the relay's name, a switch and a
// "Power Cycle" button, each button shown only when the relay's permission allows it.
// The picture shows what the engine's relay state decider last said about the relay; its
// records are taken in the order the link worker raised them, so the picture never goes back
// to an older report.
//
// A power cycle is under way from the click until the unit answers it (or the link worker
// ends): the button stays disabled meanwhile.
class CRelayControl : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 38;   // the row height in the "Relays" group
    static constexpr int kIconSize = 24;

    // The control stays unattached until Create; the page calls it once it has set
    // the relay index and the manager.
    explicit CRelayControl(QWidget* parent = nullptr);
    ~CRelayControl() override;

    void SetRelayIndex(std::int32_t index) { m_relayIndex = index; }
    std::int32_t GetRelayIndex() const { return m_relayIndex; }
    void SetManager(CQuillmereManager* manager);
    void Create();

    // Greys the bulb and the name while the unit does not answer: the state shown is then only
    // what it said last.
    void SetStale(bool stale);

    // 0 when the relay is on, anything else when off, as the device reports it.
    std::uint8_t GetState() const { return m_state; }

private:
    // What the raising thread has learnt since the last refresh.
    struct News
    {
        std::optional<std::uint8_t> state;
        bool switchAnswered = false;
        bool cycleAnswered = false;
    };

    bool NoteRelayState(const CRelayStateChangedEventArgs& change);
    bool NoteResponse(const CCommandResponse& response);
    void Refresh();
    void RefreshSetting();
    void ShowState();
    void OnSwitchClicked();
    void OnPowerCycleClicked();

    CQuillmereManager* m_manager = nullptr;
    std::int32_t m_relayIndex = 0;
    std::uint8_t m_state = 1;        // off until the device says otherwise: the unlit bulb first
    std::unique_ptr<CEngineBridge> m_bridge;

    std::mutex m_newsMutex;
    News m_news;   // guarded by m_newsMutex

    QLabel* m_stateIcon = nullptr;
    CElidedLabel* m_name = nullptr;
    QPushButton* m_switch = nullptr;
    QPushButton* m_powerCycle = nullptr;
};
