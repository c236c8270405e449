#include "NetworkMonitor.h"

#include "NetworkCheck.h"
#include "Ping.h"
#include "core/EventArgs.h"

#include <chrono>
#include <limits>

const char* const CNetworkMonitor::DefaultTarget = "www.google.com";

CNetworkMonitor::CNetworkMonitor()
    : m_eventName("ISP Reboot"),
      m_target(DefaultTarget),
      m_pollIntervalInMinutes(30),
      m_relayIndex(1),
      m_threshold(3),
      m_action(MonitorActionCyclePower),
      m_cycleEveryErrorCount(1),
      m_autoResetLimit(1),
      m_lastPowerCycle(std::numeric_limits<std::int64_t>::min()),
      m_ping(&::Ping)
{
}

CNetworkMonitor::~CNetworkMonitor() = default;

void CNetworkMonitor::SetEventName(std::string name)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_eventName = std::move(name);
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetTarget(std::string target)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_target = std::move(target);
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetPollIntervalInMinutes(std::int32_t minutes)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_pollIntervalInMinutes = minutes;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetRelayIndex(std::int32_t relayIndex)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_relayIndex = relayIndex;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetThreshold(std::int32_t threshold)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_threshold = threshold;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetAction(MonitorAction action)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_action = action;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetCycleEveryErrorCount(std::int32_t count)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_cycleEveryErrorCount = count;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetAutoResetLimit(std::int32_t limit)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_autoResetLimit = limit;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::SetGraceMinutes(std::int32_t minutes)
{
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_graceMinutes = minutes;
    }
    ClearCounters();
    NotifyChanged();
}

void CNetworkMonitor::NotePowerCycle()
{
    m_lastPowerCycle.store(m_clock->Now().time_since_epoch().count());
}

void CNetworkMonitor::SetCurrentResetCount(std::int32_t count)
{
    m_currentResetCount.store(count);
    NotifyChanged();
}

CNetworkMonitor::Snapshot CNetworkMonitor::TakeSnapshot() const
{
    std::lock_guard<std::mutex> lock(m_fieldLock);
    return Snapshot{m_eventName, m_target, m_relayIndex, m_threshold, m_action, m_cycleEveryErrorCount, m_autoResetLimit,
                    m_graceMinutes};
}

bool CNetworkMonitor::Run(std::string* trace)
{
    // A check that outlasts the timer period must not interleave its counting with the
    // next one; the later tick simply gives way.
    std::unique_lock<std::mutex> running(m_runLock, std::try_to_lock);
    if (!running.owns_lock())
        return false;

    const std::string text = TakeSnapshot().Target;
    const CheckTarget target = ParseCheckTarget(text);
    if (target.Kind == CheckKind::Invalid)
        return true;   // refused when loaded or typed; it must never cycle a relay
    CheckOutcome outcome;
    if (target.Kind == CheckKind::Ping)
        outcome = PingOutcome(m_ping(target.Host), PingTiming{});
    else
        outcome = RunCheck(target, PingTiming{});
    // A stop gives no verdict on the target: counting it would turn every restart during a
    // check of a host that is down into a failure and a used reset.
    if (outcome.Abandoned)
        return true;
    {
        std::lock_guard<std::mutex> lock(m_fieldLock);
        m_lastResult = outcome.Succeeded ? "ok" : outcome.Reason;
    }
    if (!outcome.Succeeded && trace != nullptr)
        *trace = "Network monitor check of " + MaskCredentials(text) + " failed: " + outcome.Reason;
    if (outcome.Succeeded)
    {
        m_failureCount.store(0);
        m_thresholdCrossings.store(0);
        m_currentResetCount.store(0);
        return true;
    }

    // Read after the ping: an edit made while it ran already cleared the counters, and the
    // counting below should follow the edited values.
    const Snapshot fields = TakeSnapshot();
    // A device still booting after a power cycle fails its checks; they must not count
    // toward the next one.
    const std::int64_t cycled = m_lastPowerCycle.load();
    if (fields.GraceMinutes > 0 && cycled != std::numeric_limits<std::int64_t>::min())
    {
        const auto since = m_clock->Now().time_since_epoch() - IClock::Steady::duration(cycled);
        if (since < std::chrono::minutes(fields.GraceMinutes))
            return true;
    }
    if (m_failureCount.fetch_add(1) + 1 < fields.Threshold)
        return true;

    if (fields.Action == MonitorActionCyclePowerEvery)
    {
        m_failureCount.store(0);
        if (m_thresholdCrossings.fetch_add(1) + 1 < fields.CycleEveryErrorCount)
            return true;
    }

    RaiseError();
    m_thresholdCrossings.store(0);
    m_failureCount.store(0);
    // Compare-and-swap so that a setter clearing the count meanwhile wins over this increment.
    std::int32_t resets = m_currentResetCount.load();
    if (resets < fields.AutoResetLimit)
        m_currentResetCount.compare_exchange_strong(resets, resets + 1);
    return true;
}

CheckKind CNetworkMonitor::GetCheckKind() const
{
    return ParseCheckTarget(TakeSnapshot().Target).Kind;
}

std::string CNetworkMonitor::GetLastResult() const
{
    std::lock_guard<std::mutex> lock(m_fieldLock);
    return m_lastResult;
}

void CNetworkMonitor::RaiseError()
{
    const Snapshot fields = TakeSnapshot();
    // Deliberately not subject to the suppression flag: an editor filling its controls must
    // not swallow a failure that leads to a power cycle.
    // The record goes to the log, the windows and the broker: never with a password.
    CNetworkMonitorErrorEventArgs args(fields.RelayIndex, fields.Action, MaskCredentials(fields.Target),
                                       fields.AutoResetLimit, m_currentResetCount.load());
    args.EventName = fields.EventName;
    // Held weakly: the monitor may be removed while its power cycle waits for the unit.
    args.GiveBackReset = [self = weak_from_this()] {
        if (const std::shared_ptr<CNetworkMonitor> monitor = self.lock())
        {
            std::int32_t resets = monitor->m_currentResetCount.load();
            while (resets > 0 && !monitor->m_currentResetCount.compare_exchange_weak(resets, resets - 1))
            {
            }
        }
    };
    Notify(&args);
}

void CNetworkMonitor::NotifyChanged()
{
    if (m_suppressNotifications)
        return;
    CNetworkMonitorChangeEventArgs args;
    Notify(&args);
}

void CNetworkMonitor::ClearCounters()
{
    m_failureCount.store(0);
    m_currentResetCount.store(0);
}

std::string TargetRefusal(const CNetworkMonitor& monitor)
{
    const CheckTarget target = ParseCheckTarget(monitor.GetTarget());
    if (target.Kind != CheckKind::Invalid)
        return {};
    return "Network monitor " + monitor.GetEventName() + " is off: its target \"" +
           MaskCredentials(monitor.GetTarget()) + "\" is refused: " + target.Problem;
}
