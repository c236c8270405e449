#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "TimerService.h"

// The schedule behind every engine timer service: periodic timers on a millisecond clock
// that the owner reads (a monotonic clock in the service, a hand-advanced one in tests), so
// the rules below are the same wherever the ticks come from.
class CTimerQueue
{
public:
    using TimerId = ITimerService::TimerId;
    using Callback = ITimerService::Callback;

    // A zero period would fire on every turn of the loop, as the window program's timers
    // would; both run such a timer at this period instead.
    static constexpr std::uint32_t MinimumPeriodMs = 10;

    // 0 for an empty callback. Ids are never 0 and never one still in use.
    TimerId Add(std::uint32_t periodMs, Callback callback, std::uint64_t nowMs);
    bool Remove(TimerId id);

    // Fires, in time order, every timer due at nowMs, each once. A timer that fell more
    // than a period behind (a suspended machine, a long callback) is not fired again for
    // every tick it missed: its next tick is a whole period after now.
    void RunDue(std::uint64_t nowMs);
    // When the next timer falls due; empty without timers.
    std::optional<std::uint64_t> NextDue() const;

    std::size_t Count() const { return m_timers.size(); }
    std::uint32_t PeriodOf(TimerId id) const;   // 0 when no such timer

private:
    struct Timer
    {
        std::uint32_t period;
        std::uint64_t due;
        Callback callback;
    };
    std::map<TimerId, Timer> m_timers;
    TimerId m_lastId = 0;
};
