#pragma once

#include <cstdint>

#include "core/TimerQueue.h"
#include "core/TimerService.h"

// A timer service driven by a clock the test advances by hand. It runs the same schedule
// as the engine's own timer service, so tests of the manager cover that too.
class ManualTimerService : public ITimerService
{
public:
    TimerId SetTimer(std::uint32_t periodMs, Callback callback) override;
    bool KillTimer(TimerId id) override;

    // Moves the clock forward, firing every tick that falls due, in time order.
    void Advance(std::uint64_t ms);

    std::size_t ActiveCount() const { return m_queue.Count(); }
    std::uint32_t PeriodOf(TimerId id) const { return m_queue.PeriodOf(id); }   // 0 when no such timer
    std::uint64_t Now() const { return m_now; }

private:
    CTimerQueue m_queue;
    std::uint64_t m_now = 0;
};
