#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Clock.h"

class CNetworkMonitorErrorEventArgs;

// One relay, one cycle: a monitor's power cycle asked for a relay that another monitor had
// cycled moments ago joins that cycle instead of cutting the power again while the
// equipment boots. The program does not see when the unit ends a cycle, so a cycle counts
// as running or just finished for Window after it was asked: the minute of quiet plus an
// allowance for the unit's own off time. A monitor asking again after its own cycle is not
// joined to it (its grace and its reset limit already rule that). A monitor that joins counts
// the cycle against its own limit; a cycle that never reaches the unit gives every monitor in
// it its reset back. Any thread.
class CPowerCycleGate
{
public:
    static constexpr std::chrono::seconds Window{70};

    struct Decision
    {
        bool Cycle = false;                // queue the power cycle
        std::vector<std::string> Lines;    // Event lines to write after the failure line
        // For the queued cycle: gives back the reset of the monitor that asked for it and of
        // every monitor that joined it, when the cycle never reaches the unit.
        std::function<void()> OnNotSent;
    };

    explicit CPowerCycleGate(const IClock& clock) : m_clock(&clock) {}
    // Before any failure is decided; the clock outlives the gate.
    void SetClock(const IClock& clock) { m_clock = &clock; }

    // What a monitor's failure does to its relay. Cycles only when the action asks for it and
    // the monitor is within its limit, and no other monitor's cycle of that relay is running
    // or just finished; says so when the failure uses the monitor's last allowed reset.
    Decision Decide(const CNetworkMonitorErrorEventArgs& failure);

private:
    // The resets to give back if a cycle is not sent; shared with the cycle's command.
    struct GiveBacks
    {
        std::mutex Lock;
        std::vector<std::function<void()>> Resets;
    };
    struct Cycle
    {
        std::string Monitor;   // who asked for it, as the lines name it
        IClock::Steady::time_point AskedAt;
        std::shared_ptr<GiveBacks> Joined;
    };

    const IClock* m_clock;
    std::mutex m_lock;
    std::map<int, Cycle> m_cycles;   // the last cycle asked of each relay
};
