#include "ManualTimerService.h"

ITimerService::TimerId ManualTimerService::SetTimer(std::uint32_t periodMs, Callback callback)
{
    if (periodMs == 0)
        return 0;
    const TimerId id = m_nextId++;
    m_timers[id] = Timer{periodMs, m_now + periodMs, std::move(callback)};
    return id;
}

bool ManualTimerService::KillTimer(TimerId id)
{
    return m_timers.erase(id) > 0;
}

std::uint32_t ManualTimerService::PeriodOf(TimerId id) const
{
    const auto it = m_timers.find(id);
    return it == m_timers.end() ? 0 : it->second.period;
}

void ManualTimerService::Advance(std::uint64_t ms)
{
    const std::uint64_t end = m_now + ms;
    for (;;)
    {
        TimerId nextId = 0;
        std::uint64_t nextDue = end + 1;
        for (const auto& [id, timer] : m_timers)
        {
            if (timer.due < nextDue)
            {
                nextDue = timer.due;
                nextId = id;
            }
        }
        if (nextId == 0)
            break;
        m_now = nextDue;
        Timer& timer = m_timers[nextId];
        timer.due += timer.period;
        Callback callback = timer.callback;   // the callback may kill its own timer
        callback(nextId);
    }
    m_now = end;
}
