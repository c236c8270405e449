#include "TimerQueue.h"

#include <algorithm>

CTimerQueue::TimerId CTimerQueue::Add(std::uint32_t periodMs, Callback callback, std::uint64_t nowMs)
{
    if (!callback)
        return 0;
    do
        ++m_lastId;
    while (m_lastId == 0 || m_timers.count(m_lastId) != 0);
    const std::uint32_t period = std::max(periodMs, MinimumPeriodMs);
    m_timers[m_lastId] = Timer{period, nowMs + period, std::move(callback)};
    return m_lastId;
}

bool CTimerQueue::Remove(TimerId id)
{
    return m_timers.erase(id) > 0;
}

std::uint32_t CTimerQueue::PeriodOf(TimerId id) const
{
    const auto it = m_timers.find(id);
    return it == m_timers.end() ? 0 : it->second.period;
}

std::optional<std::uint64_t> CTimerQueue::NextDue() const
{
    std::optional<std::uint64_t> next;
    for (const auto& [id, timer] : m_timers)
        if (!next || timer.due < *next)
            next = timer.due;
    return next;
}

void CTimerQueue::RunDue(std::uint64_t nowMs)
{
    // Each timer due now fires once; one that a callback sets or re-arms meanwhile is due
    // later than now and waits for the next call.
    for (;;)
    {
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
            if (it->second.due <= nowMs && (next == m_timers.end() || it->second.due < next->second.due))
                next = it;
        if (next == m_timers.end())
            return;
        Timer& timer = next->second;
        timer.due += timer.period;
        if (timer.due <= nowMs)
            timer.due = nowMs + timer.period;
        // A copy: the callback may kill this very timer and with it the stored one.
        const Callback callback = timer.callback;
        callback(next->first);
    }
}
