#pragma once

#include <cstddef>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"
#include "device/QuillmereDeviceStatus.h"

// Counts status notifications and, like a page redrawing, re-reads the relay list in each one
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
        relayCounts.push_back(m_status.GetRelays().size());
    }

    int notifications = 0;
    int statusRecords = 0;
    std::vector<std::size_t> relayCounts;

private:
    CQuillmereDeviceStatus& m_status;
};
