#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/Clock.h"
#include "core/Subject.h"
#include "CheckTarget.h"
#include "MonitorAction.h"

// One network host watched by ping, TCP connect or HTTP GET, as its target text says. The persistent fields are edited on the UI thread;
// the counters are also written by the ping thread, so they are atomic and never locked.
// Settings own monitors through std::shared_ptr so that a check under way keeps its
// monitor alive after the operator removed it.
class CNetworkMonitor final : public CSubject, public std::enable_shared_from_this<CNetworkMonitor>
{
public:
    using PingFunction = int (*)(const std::string& host);

    static const char* const DefaultTarget;   // the well-known internet host of a new monitor

    CNetworkMonitor();   // the new-monitor values
    ~CNetworkMonitor();

    const std::string& GetEventName() const { return m_eventName; }
    const std::string& GetTarget() const { return m_target; }
    std::int32_t GetPollIntervalInMinutes() const { return m_pollIntervalInMinutes; }
    std::int32_t GetRelayIndex() const { return m_relayIndex; }
    std::int32_t GetThreshold() const { return m_threshold; }
    MonitorAction GetAction() const { return m_action; }
    std::int32_t GetCycleEveryErrorCount() const { return m_cycleEveryErrorCount; }
    std::int32_t GetAutoResetLimit() const { return m_autoResetLimit; }
    // Minutes after a power cycle of the relay in which failed checks count nothing; 0 is off.
    std::int32_t GetGraceMinutes() const { return m_graceMinutes; }
    std::int32_t GetCurrentResetCount() const { return m_currentResetCount.load(); }
    std::int32_t GetFailureCount() const { return m_failureCount.load(); }
    std::int32_t GetThresholdCrossings() const { return m_thresholdCrossings.load(); }

    // Each stores, clears FailureCount and CurrentResetCount, then notifies unless suppressed.
    void SetEventName(std::string name);
    void SetTarget(std::string target);
    void SetPollIntervalInMinutes(std::int32_t minutes);
    void SetRelayIndex(std::int32_t relayIndex);
    void SetThreshold(std::int32_t threshold);
    void SetAction(MonitorAction action);
    void SetCycleEveryErrorCount(std::int32_t count);
    void SetAutoResetLimit(std::int32_t limit);
    void SetGraceMinutes(std::int32_t minutes);
    // The relay was just power cycled, by anyone: the grace period starts now. Any thread.
    void NotePowerCycle();
    // Where the grace period reads the time; the system's clock unless the owner gives
    // another (a test's hand-moved one). Set before the first check; the clock outlives it.
    void SetClock(const IClock& clock) { m_clock = &clock; }
    // Only the loader uses it: clears nothing, still notifies unless suppressed.
    void SetCurrentResetCount(std::int32_t count);
    // A reload hands the failures counted so far to the monitor that replaces this one;
    // nothing is notified, as the count is not stored.
    void RestoreFailureCount(std::int32_t count) { m_failureCount.store(count); }

    void SetSuppressNotifications(bool suppress) { m_suppressNotifications = suppress; }
    bool IsSuppressingNotifications() const { return m_suppressNotifications; }

    // One check of the host, on a ping thread. A check that finds another check of the same
    // monitor still running returns at once, so two checks never interleave their counting.
    // Returns false when it was skipped for that reason. A failed check that was counted
    // (not abandoned by a stop) leaves its trace line, naming target and reason, in trace.
    bool Run(std::string* trace = nullptr);
    void RaiseError();

    // The check the target text chooses; Invalid targets are never checked.
    CheckKind GetCheckKind() const;
    // "ok", the reason the last check failed, or empty before the first verdict.
    std::string GetLastResult() const;

    // Tests replace the ICMP echo; the default is Ping from Ping.h.
    void SetPingFunction(PingFunction ping) { m_ping = ping; }

private:
    // What one check reads of the persistent fields, copied at once so that an edit on the
    // UI thread never tears a value the ping thread is using.
    struct Snapshot
    {
        std::string EventName;
        std::string Target;
        std::int32_t RelayIndex;
        std::int32_t Threshold;
        MonitorAction Action;
        std::int32_t CycleEveryErrorCount;
        std::int32_t AutoResetLimit;
        std::int32_t GraceMinutes;
    };

    Snapshot TakeSnapshot() const;
    void NotifyChanged();
    void ClearCounters();

    std::string m_eventName;
    std::string m_target;
    std::int32_t m_pollIntervalInMinutes;
    std::int32_t m_relayIndex;
    std::int32_t m_threshold;
    MonitorAction m_action;
    std::int32_t m_cycleEveryErrorCount;
    bool m_suppressNotifications = false;
    std::atomic<std::int32_t> m_failureCount{0};
    std::atomic<std::int32_t> m_thresholdCrossings{0};
    std::int32_t m_autoResetLimit;
    std::atomic<std::int32_t> m_currentResetCount{0};
    std::int32_t m_graceMinutes = 0;
    // Ticks of m_clock at the last power cycle; the minimum before the first one.
    std::atomic<std::int64_t> m_lastPowerCycle;
    const IClock* m_clock = &IClock::System();

    // Guards the persistent fields while the UI thread stores one and while a ping thread
    // copies them; the UI thread's own reads need no lock because only it writes.
    mutable std::mutex m_fieldLock;
    std::mutex m_runLock;   // held by the running check; try-locked by the next one
    PingFunction m_ping;
    std::string m_lastResult;   // guarded by m_fieldLock
};

// Empty when the monitor's target can be checked; otherwise the one line that says the
// monitor is off and why ("Network monitor Typo is off: its target "htp://x/" is refused:
// htp:// is no check; ..."), password masked. The manager's start and the service's --check
// both say it, so they never disagree.
std::string TargetRefusal(const CNetworkMonitor& monitor);
