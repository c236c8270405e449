#pragma once

#include <mutex>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"

// Keeps what a monitor raised: change notifications are counted, failure records copied,
// since the records die when Notify returns. Failures arrive on ping threads.
class MonitorRecorder : public CObserver
{
public:
    void Update(CEventArgs* args) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (dynamic_cast<CNetworkMonitorChangeEventArgs*>(args) != nullptr)
            ++m_changes;
        else if (auto* error = dynamic_cast<CNetworkMonitorErrorEventArgs*>(args))
            m_errors.push_back(*error);
        else
            ++m_others;
    }

    int Changes() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_changes;
    }
    int Others() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_others;
    }
    std::vector<CNetworkMonitorErrorEventArgs> Errors() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_errors;
    }

private:
    mutable std::mutex m_lock;
    int m_changes = 0;
    int m_others = 0;
    std::vector<CNetworkMonitorErrorEventArgs> m_errors;
};
