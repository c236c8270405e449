#include "QtTimerService.h"

#include <climits>

int CQtTimerService::ClampPeriod(std::uint32_t periodMs)
{
    if (periodMs < MinimumPeriodMs)
        return static_cast<int>(MinimumPeriodMs);
    if (periodMs > static_cast<std::uint32_t>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(periodMs);
}

ITimerService::TimerId CQtTimerService::NextFreeId()
{
    // Ids are never 0 and never one still in use, even after the counter wraps.
    do
        ++m_lastId;
    while (m_lastId == 0 || m_timers.count(m_lastId) != 0);
    return m_lastId;
}

ITimerService::TimerId CQtTimerService::SetTimer(std::uint32_t periodMs, Callback callback)
{
    if (!callback)
        return 0;
    const TimerId id = NextFreeId();
    auto* timer = new QTimer(&m_owner);
    timer->setInterval(ClampPeriod(periodMs));
    QObject::connect(timer, &QTimer::timeout, [this, id] { Fire(id); });
    m_timers[id] = Entry{timer, std::move(callback)};
    timer->start();
    return id;
}

bool CQtTimerService::KillTimer(TimerId id)
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    if (QTimer* timer = it->second.timer.data())
    {
        timer->stop();
        // The timer may be the one whose tick is running right now.
        timer->deleteLater();
    }
    m_timers.erase(it);
    return true;
}

void CQtTimerService::Fire(TimerId id)
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    // A copy, because the callback may kill this very timer and with it the stored one.
    const Callback callback = it->second.callback;
    callback(id);
}

int CQtTimerService::IntervalOf(TimerId id) const
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end() || it->second.timer.isNull())
        return -1;
    return it->second.timer->interval();
}
