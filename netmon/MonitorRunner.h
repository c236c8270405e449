#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CNetworkMonitor;
class CStopSignal;

// Runs each monitor check on a thread of its own. A check holds its monitor through a
// shared_ptr, so a monitor the operator removes meanwhile lives until the check ends, and
// every thread is joined here rather than left detached.
class CMonitorRunner
{
public:
    // Far more than the monitors a site ever has; a check of a monitor already being checked
    // returns at once, so reaching it means something is badly wrong.
    static constexpr std::size_t MaxRunningChecks = 64;

    CMonitorRunner();
    ~CMonitorRunner();   // waits for every check
    CMonitorRunner(const CMonitorRunner&) = delete;
    CMonitorRunner& operator=(const CMonitorRunner&) = delete;

    // Starts one check of the monitor. False for a null monitor, at the limit of running
    // checks, or when no thread could be started.
    bool Start(std::shared_ptr<CNetworkMonitor> monitor);
    // Joins every check started before or during the wait.
    void WaitForAll();
    // Ends the running checks' waits at once (their pings count as unanswered); checks
    // started afterwards run normally. For shutdown, before WaitForAll.
    void AbandonChecks();
    // Receives one line per failed check, on the check's thread; set before the first Start.
    void SetFailureTrace(std::function<void(const std::string&)> trace) { m_trace = std::move(trace); }
    // Checks whose thread has not yet finished its work; never waits for one.
    std::size_t GetRunningCount() const;

private:
    struct Check
    {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Finished;
    };

    void ReapFinished(std::list<Check>& finished);

    mutable std::mutex m_lock;
    std::list<Check> m_checks;
    std::shared_ptr<CStopSignal> m_cancellation;
    std::function<void(const std::string&)> m_trace;
};
