#include "Clock.h"

namespace
{
class CSystemClock final : public IClock
{
public:
    Steady::time_point Now() const override { return Steady::now(); }
    std::time_t WallNow() const override { return std::time(nullptr); }
};

constexpr IClock::Steady::rep kManualStart =
    std::chrono::duration_cast<IClock::Steady::duration>(std::chrono::hours(24 * 365)).count();
}

const IClock& IClock::System()
{
    static const CSystemClock clock;
    return clock;
}

CManualClock::CManualClock(std::time_t wallStart)
    : m_ticks(kManualStart), m_wallStart(wallStart), m_startTicks(kManualStart)
{
}

IClock::Steady::time_point CManualClock::Now() const
{
    return Steady::time_point(Steady::duration(m_ticks.load()));
}

std::time_t CManualClock::WallNow() const
{
    const Steady::duration moved(m_ticks.load() - m_startTicks);
    return m_wallStart + static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(moved).count());
}

void CManualClock::Advance(Steady::duration by)
{
    m_ticks.fetch_add(by.count());
}
