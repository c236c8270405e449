#include "UnitProbe.h"

#include <algorithm>

void CUnitProbe::Lost(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_probing)
        return;   // already asking on its schedule; a failed question must not start it over
    m_probing = true;
    m_pause = kFirst;
    m_due = now + kFirst;
}

void CUnitProbe::AfterReset(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_probing = true;
    m_afterReset = true;
    m_pause = kFirst;
    m_due = now + kAfterReset;
}

void CUnitProbe::Reopened(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_probing = true;
    m_pause = kFirst;
    m_due = now;
}

void CUnitProbe::Answered()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_probing = false;
    m_afterReset = false;
}

bool CUnitProbe::IsProbing() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_probing;
}

CUnitProbe::Next CUnitProbe::Idle(Clock::time_point now, bool orderWaits)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_probing)
        return {};
    if (now < m_due)
        return {false, m_due - now};
    Clock::duration pause = kAfterReset;
    if (!m_afterReset && orderWaits)
        pause = kFirst;
    else if (!m_afterReset)
        pause = m_pause = std::min<Clock::duration>(m_pause * 2, kLongest);
    m_due = now + pause;
    return {true, pause};
}
