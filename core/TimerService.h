#pragma once

#include <cstdint>
#include <functional>

// Periodic timers without a window. The program backs this with QTimer on the UI thread;
// tests back it with a clock they advance by hand. Callbacks run on the UI thread.
class ITimerService
{
public:
    using TimerId = std::uint32_t;              // 0 names no timer
    using Callback = std::function<void(TimerId)>;

    virtual ~ITimerService() = default;
    virtual TimerId SetTimer(std::uint32_t periodMs, Callback callback) = 0;   // 0 on failure
    virtual bool KillTimer(TimerId id) = 0;
};
