#pragma once

#include <chrono>
#include <mutex>
#include <optional>

// When to ask a unit that does not answer whether it is back: one cheap question (the relay
// status) while the link holds everything else. After the unit went quiet the first comes 5 s
// later and the pause doubles to at most a minute, so a long outage costs about one frame a
// minute; while an order waits (within its one-minute lifetime) the pause stays at 5 s so the
// order reaches a returning unit within seconds; after a reset the unit is asked every 4 s;
// after the port came back, at once. Any thread.
class CUnitProbe
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirst{5};
    static constexpr std::chrono::seconds kLongest{60};
    static constexpr std::chrono::milliseconds kAfterReset{4000};

    // The unit stopped answering: the first question kFirst from now.
    void Lost(Clock::time_point now);
    // A reset went out (answered or not): questions every kAfterReset until Answered.
    void AfterReset(Clock::time_point now);
    // The port opened again after the line was lost: ask at once.
    void Reopened(Clock::time_point now);
    // The unit answered (after a reset: a question sent after it): no more questions.
    void Answered();
    bool IsProbing() const;

    struct Next
    {
        bool askNow = false;
        std::optional<Clock::duration> wait;   // until the next question; none when not probing
    };
    // The link has nothing it may send. When a question is due it is counted as asked and the
    // next is scheduled; otherwise how long until it is.
    Next Idle(Clock::time_point now, bool orderWaits);

private:
    mutable std::mutex m_mutex;
    bool m_probing = false;
    bool m_afterReset = false;
    Clock::time_point m_due;
    Clock::duration m_pause = kFirst;
};
