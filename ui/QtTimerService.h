#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <map>

#include "core/TimerService.h"

// The manager's window-less timers as QTimers on the UI thread. Set and kill only on that
// thread; the callbacks run there too.
class CQtTimerService : public ITimerService
{
public:
    // A zero period would make the timer fire on every pass of the event loop.
    static constexpr std::uint32_t MinimumPeriodMs = 10;

    CQtTimerService() = default;
    CQtTimerService(const CQtTimerService&) = delete;
    CQtTimerService& operator=(const CQtTimerService&) = delete;

    TimerId SetTimer(std::uint32_t periodMs, Callback callback) override;
    bool KillTimer(TimerId id) override;

    std::size_t ActiveCount() const { return m_timers.size(); }
    int IntervalOf(TimerId id) const;   // -1 when no such timer

    // QTimer counts in int milliseconds; longer periods are cut to the longest it can run.
    static int ClampPeriod(std::uint32_t periodMs);

private:
    struct Entry
    {
        QPointer<QTimer> timer;
        Callback callback;
    };

    void Fire(TimerId id);
    TimerId NextFreeId();

    std::map<TimerId, Entry> m_timers;
    TimerId m_lastId = 0;
    // Parent of every timer, so that killed ones still waiting for their deferred delete go
    // with the service. Declared last: the timers go before the map their ticks read.
    QObject m_owner;
};
