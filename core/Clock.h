#pragma once

#include <atomic>
#include <chrono>
#include <ctime>

// Where an engine part reads the time. A part whose behaviour depends on elapsed time (a
// lifetime, a back-off, an interval between summaries) takes one of these from its owner
// instead of asking the system, so a test moves time rather than sleeping for it.
class IClock
{
public:
    using Steady = std::chrono::steady_clock;

    virtual ~IClock() = default;
    // Elapsed time: intervals, lifetimes, back-off. Never goes backwards.
    virtual Steady::time_point Now() const = 0;
    // Calendar time, for what a person reads ("since 13:53:37").
    virtual std::time_t WallNow() const = 0;

    // The system's clocks; lives as long as the process.
    static const IClock& System();
};

// A clock that moves only when told; safe to read from any thread while a test moves it.
class CManualClock final : public IClock
{
public:
    // Starts well after the steady clock's epoch, so "long ago" sentinels stay in the past.
    explicit CManualClock(std::time_t wallStart = 1'800'000'000);

    Steady::time_point Now() const override;
    std::time_t WallNow() const override;
    void Advance(Steady::duration by);

private:
    std::atomic<Steady::rep> m_ticks;
    std::time_t m_wallStart;
    Steady::rep m_startTicks;
};
