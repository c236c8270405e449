#pragma once

#include <atomic>
#include <ctime>

#include "protocol/StatusCodes.h"

// Whether the unit answers: the one place that decides it, so the Status page, the broker
// and the service status never disagree. Unknown until the first exchange ends; unreachable
// from the first exchange that got no answer or the first port failure; reachable again at
// the next answer of any kind (a solicited one, an unsolicited message, a NAK).
// Written by the link worker, read from any thread.
class CUnitReachability
{
public:
    enum class State { Unknown, Reachable, Unreachable };

    // Takes one exchange's outcome; true when the state changed.
    bool Take(LinkStatus status, std::time_t now);

    State GetState() const { return m_state.load(); }
    bool IsUnreachable() const { return GetState() == State::Unreachable; }
    // When the unit last answered; 0 when it never has since the program started.
    std::time_t GetLastAnswerTime() const { return m_lastAnswer.load(); }

    // Outcomes that say nothing about the unit: a refused firmware path, a code the link
    // cannot send, a second connection attempt.
    static bool SaysNothingAboutTheUnit(LinkStatus status);

private:
    std::atomic<State> m_state{State::Unknown};
    std::atomic<std::time_t> m_lastAnswer{0};
};
