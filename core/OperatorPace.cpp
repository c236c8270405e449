#include "OperatorPace.h"

#include <algorithm>

bool COperatorPace::TakeToken(IClock::Steady::time_point now)
{
    if (m_tokensAt == IClock::Steady::time_point{})
        m_tokensAt = now;
    const double refill = std::chrono::duration<double>(now - m_tokensAt).count() * kPerSecond;
    m_tokens = std::min(kBurst, m_tokens + refill);
    m_tokensAt = now;
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

bool COperatorPace::ResetAllowed(IClock::Steady::time_point now) const
{
    return !m_resetTaken || now - m_lastReset >= kResetInterval;
}

void COperatorPace::NoteReset(IClock::Steady::time_point now)
{
    m_resetTaken = true;
    m_lastReset = now;
}
