#pragma once

#include <cstdint>
#include <map>

#include "core/TimerService.h"

// A timer service driven by a clock the test advances by hand.
class ManualTimerService : public ITimerService
{
public:
    TimerId SetTimer(std::uint32_t periodMs, Callback callback) override;
    bool KillTimer(TimerId id) override;

    // Moves the clock forward, firing every tick that falls due, in time order.
    void Advance(std::uint64_t ms);

    std::size_t ActiveCount() const { return m_timers.size(); }
    std::uint32_t PeriodOf(TimerId id) const;   // 0 when no such timer
    std::uint64_t Now() const { return m_now; }

private:
    struct Timer
    {
        std::uint32_t period;
        std::uint64_t due;
        Callback callback;
    };
    std::map<TimerId, Timer> m_timers;
    TimerId m_nextId = 1;
    std::uint64_t m_now = 0;
};
