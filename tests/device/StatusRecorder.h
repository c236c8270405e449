#pragma once

#include <string>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"
#include "device/QuillmereDeviceStatus.h"

// Counts status notifications and, like a page redrawing, re-reads the ICCID in each one
// (which would dead-lock if the model notified while holding its lock).
class StatusRecorder : public CObserver
{
public:
    explicit StatusRecorder(CQuillmereDeviceStatus& status) : m_status(status) { m_status.Attach(this); }
    ~StatusRecorder() { m_status.Detach(this); }

    void Update(CEventArgs* args) override
    {
        if (dynamic_cast<CStatusChangedEventArgs*>(args) != nullptr)
            ++statusRecords;
        ++notifications;
        iccids.push_back(m_status.GetIccid());
    }

    int notifications = 0;
    int statusRecords = 0;
    std::vector<std::string> iccids;

private:
    CQuillmereDeviceStatus& m_status;
};
