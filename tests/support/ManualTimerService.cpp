#include "ManualTimerService.h"

#include <algorithm>
#include <optional>

ITimerService::TimerId ManualTimerService::SetTimer(std::uint32_t periodMs, Callback callback)
{
    return m_queue.Add(periodMs, std::move(callback), m_now);
}

bool ManualTimerService::KillTimer(TimerId id)
{
    return m_queue.Remove(id);
}

void ManualTimerService::Advance(std::uint64_t ms)
{
    const std::uint64_t end = m_now + ms;
    // Stepping from tick to tick keeps every tick that falls due, as a clock that never
    // stalled would.
    for (std::optional<std::uint64_t> due = m_queue.NextDue(); due && *due <= end; due = m_queue.NextDue())
    {
        m_now = std::max(m_now, *due);
        m_queue.RunDue(m_now);
    }
    m_now = end;
}
