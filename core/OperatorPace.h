#pragma once

#include <chrono>

#include "Clock.h"

// The pace every remote operator's orders reach the unit at, whichever road they come by (the
// broker, the control socket): a bucket of kBurst that refills at kPerSecond, and at most one
// reset within kResetInterval. Not locked: its owner holds its own lock around it.
class COperatorPace
{
public:
    static constexpr double kPerSecond = 5.0;
    static constexpr double kBurst = 10.0;
    static constexpr std::chrono::seconds kResetInterval{30};

    // One order's place in the bucket; false when it is empty.
    bool TakeToken(IClock::Steady::time_point now);
    // Whether a reset may go now, and noting one that went.
    bool ResetAllowed(IClock::Steady::time_point now) const;
    void NoteReset(IClock::Steady::time_point now);

private:
    double m_tokens = kBurst;
    IClock::Steady::time_point m_tokensAt{};
    IClock::Steady::time_point m_lastReset{};
    bool m_resetTaken = false;
};
