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
    // Threads checking at once. Monitors of the same interval fall due together, so a site
    // with a few hundred of them reaches it every round; the checks beyond it wait for a
    // thread to finish rather than being lost.
    static constexpr std::size_t MaxRunningChecks = 64;

    CMonitorRunner();
    ~CMonitorRunner();   // waits for every check
    CMonitorRunner(const CMonitorRunner&) = delete;
    CMonitorRunner& operator=(const CMonitorRunner&) = delete;

    // Starts one check of the monitor, or at the limit of running checks queues it (once) for
    // the next thread that finishes. False for a null monitor or when no thread could be started.
    bool Start(std::shared_ptr<CNetworkMonitor> monitor);
    // Joins every check started before or during the wait.
    void WaitForAll();
    // Ends the running checks' waits at once (abandoned, they count nothing) and drops the
    // queued ones; checks started afterwards run normally. For shutdown, before WaitForAll.
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
    bool StartThread(std::shared_ptr<CNetworkMonitor> monitor);   // with m_lock held
    // The body of a check thread: the monitor given, then queued ones until none is left.
    void RunChecks(std::shared_ptr<CNetworkMonitor> monitor, std::shared_ptr<CStopSignal> cancel,
                   const std::shared_ptr<std::atomic<bool>>& done);

    mutable std::mutex m_lock;
    std::list<Check> m_checks;
    std::list<std::shared_ptr<CNetworkMonitor>> m_waiting;   // due while every thread was busy
    // Both written under m_lock except that an ending thread lowers m_active without it. An
    // ending thread lowers m_active, then reads m_waitingCount; Start raises m_waitingCount,
    // then reads m_active: one of the two always sees the other, so nothing queued is left
    // behind with a place free.
    std::atomic<std::size_t> m_active{0};
    std::atomic<std::size_t> m_waitingCount{0};
    std::shared_ptr<CStopSignal> m_cancellation;
    std::function<void(const std::string&)> m_trace;
};
