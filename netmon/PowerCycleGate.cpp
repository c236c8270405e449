#include "PowerCycleGate.h"

#include "MonitorAction.h"
#include "core/EventArgs.h"

namespace
{
std::string MonitorLabel(const CNetworkMonitorErrorEventArgs& failure)
{
    return failure.EventName.empty() ? failure.Target : failure.EventName + " (" + failure.Target + ")";
}
}

CPowerCycleGate::Decision CPowerCycleGate::Decide(const CNetworkMonitorErrorEventArgs& failure)
{
    Decision decision;
    if (failure.Action == MonitorActionDoNothing || failure.CurrentResetCount >= failure.AutoResetLimit)
        return decision;
    const std::string who = MonitorLabel(failure);
    const IClock::Steady::time_point now = m_clock->Now();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto last = m_cycles.find(failure.RelayIndex);
        if (last != m_cycles.end() && last->second.Monitor != who && now - last->second.AskedAt < Window)
        {
            const auto ago = std::chrono::duration_cast<std::chrono::seconds>(now - last->second.AskedAt).count();
            decision.Lines.push_back("Relay " + std::to_string(failure.RelayIndex) + " power cycle for " + who +
                                     " joined the one asked by " + last->second.Monitor + " " + std::to_string(ago) +
                                     " s before");
            if (failure.GiveBackReset)
            {
                std::lock_guard<std::mutex> resets(last->second.Joined->Lock);
                last->second.Joined->Resets.push_back(failure.GiveBackReset);
            }
        }
        else
        {
            decision.Cycle = true;
            auto joined = std::make_shared<GiveBacks>();
            if (failure.GiveBackReset)
                joined->Resets.push_back(failure.GiveBackReset);
            decision.OnNotSent = [joined] {
                std::vector<std::function<void()>> resets;
                {
                    std::lock_guard<std::mutex> guard(joined->Lock);
                    resets.swap(joined->Resets);
                }
                for (const std::function<void()>& giveBack : resets)
                    giveBack();
            };
            m_cycles[failure.RelayIndex] = Cycle{who, now, std::move(joined)};
        }
    }
    // The record carries the count before this failure's reset is counted.
    if (failure.CurrentResetCount + 1 == failure.AutoResetLimit)
        decision.Lines.push_back("Network monitor " + who + " reached its limit of " +
                                 std::to_string(failure.AutoResetLimit) + " automatic reset" +
                                 (failure.AutoResetLimit == 1 ? "" : "s") +
                                 "; no power cycle until it answers again");
    return decision;
}
