#pragma once

#include <memory>
#include <vector>

#include "ui/PropertyPage.h"

class QLabel;
class QPushButton;
class CEngineBridge;
class CRelayControl;
class CSignualStatic;
class CTasksPane;

// The "Status" tab: what the device last reported, field by field, the signal gauge, a
// "Reset" button and one relay control per configured relay in the "Relays" group.
//
// Any change of the status model asks for one refresh, which re-reads the whole model; many
// changes before it runs make one. Relay controls are made once, from the relay settings
// there are when the manager is given.
class CQuillmereStatus : public CPropertyPage
{
    Q_OBJECT
public:
    static constexpr const char* kNotAvailable = "Not Available";
    static constexpr int kRelayRowHeight = 38;

    explicit CQuillmereStatus(QWidget* parent = nullptr);
    ~CQuillmereStatus() override;

    void SetManager(CQuillmereManager* manager) override;

private:
    void CreateRelayControls();
    void SetEmptyLook();
    void Refresh();
    void RefreshRemoteLine();
    void RefreshReachability();

    CQuillmereManager* m_manager = nullptr;
    int m_relayGroup = -1;
    std::vector<CRelayControl*> m_relayControls;   // owned by the group panel
    std::unique_ptr<CEngineBridge> m_bridge;

    QLabel* m_dateTime = nullptr;
    QLabel* m_iccid = nullptr;
    QLabel* m_firmware = nullptr;
    QLabel* m_uptime = nullptr;
    QLabel* m_gsm = nullptr;
    QLabel* m_rssi = nullptr;
    QLabel* m_radioType = nullptr;
    QLabel* m_door = nullptr;
    QLabel* m_remote = nullptr;   // the broker connection, shown only when one is configured
    QLabel* m_unreachable = nullptr;   // shown while the unit does not answer
    CSignualStatic* m_gauge = nullptr;
    QPushButton* m_reset = nullptr;
    CTasksPane* m_tasksPane = nullptr;
};
