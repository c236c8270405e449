#include "MonitorRunner.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "NetworkMonitor.h"
#include "Ping.h"

CMonitorRunner::CMonitorRunner() : m_cancellation(std::make_shared<CStopSignal>())
{
}

CMonitorRunner::~CMonitorRunner()
{
    WaitForAll();
}

bool CMonitorRunner::Start(std::shared_ptr<CNetworkMonitor> monitor)
{
    if (!monitor)
        return false;

    std::list<Check> finished;
    bool started = true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ReapFinished(finished);
        if (m_active.load() >= MaxRunningChecks)
        {
            // A monitor already waiting keeps its place; its next check would only repeat it.
            if (std::find(m_waiting.begin(), m_waiting.end(), monitor) == m_waiting.end())
                m_waiting.push_back(std::move(monitor));
            m_waitingCount.store(m_waiting.size());
            monitor = nullptr;
            // Read again now that the queue shows: a thread that ended meanwhile may have
            // looked at the queue while it was still empty, so its place is filled from here.
            if (m_active.load() < MaxRunningChecks)
            {
                monitor = std::move(m_waiting.front());
                m_waiting.pop_front();
                m_waitingCount.store(m_waiting.size());
            }
        }
        if (monitor)
            started = StartThread(std::move(monitor));
    }
    // Joined outside the lock; these threads have already finished their work.
    for (Check& check : finished)
        check.Thread.join();
    return started;
}

bool CMonitorRunner::StartThread(std::shared_ptr<CNetworkMonitor> monitor)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_active.fetch_add(1);
    try
    {
        std::thread thread([this, monitor = std::move(monitor), done, cancel = m_cancellation]() mutable {
            RunChecks(std::move(monitor), std::move(cancel), done);
        });
        m_checks.push_back(Check{std::move(thread), std::move(done)});
        return true;
    }
    catch (const std::system_error&)
    {
        m_active.fetch_sub(1);
        return false;
    }
}

void CMonitorRunner::RunChecks(std::shared_ptr<CNetworkMonitor> monitor, std::shared_ptr<CStopSignal> cancel,
                               const std::shared_ptr<std::atomic<bool>>& done)
{
    for (;;)
    {
        SetThreadPingCancellation(std::move(cancel));
        std::string failure;
        monitor->Run(&failure);
        if (!failure.empty() && m_trace)
            m_trace(failure);
        // The last owner may be this thread: the monitor goes before the flag says the
        // thread has nothing left to touch.
        monitor.reset();
        m_active.fetch_sub(1);
        // Without a queue the thread ends without the lock: the timer thread holds it while
        // it starts a round of checks, and waiting for it there cost every check a wake-up.
        if (m_waitingCount.load() == 0)
            break;
        std::lock_guard<std::mutex> lock(m_lock);
        // Start may have given this thread's place to a queued check already.
        if (m_waiting.empty() || m_active.load() >= MaxRunningChecks)
            break;
        m_active.fetch_add(1);
        monitor = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_waitingCount.store(m_waiting.size());
        // Taken now rather than kept: a stop may have replaced it since this thread began.
        cancel = m_cancellation;
    }
    SetThreadPingCancellation(nullptr);
    done->store(true);
}

void CMonitorRunner::WaitForAll()
{
    // Each round joins at least the checks present at its start, so it ends once nobody
    // starts new ones.
    for (;;)
    {
        std::list<Check> running;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            running.swap(m_checks);
        }
        if (running.empty())
            return;
        for (Check& check : running)
            check.Thread.join();
    }
}

void CMonitorRunner::AbandonChecks()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_cancellation->Request();
    m_cancellation = std::make_shared<CStopSignal>();
    m_waiting.clear();
    m_waitingCount.store(0);
}

std::size_t CMonitorRunner::GetRunningCount() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::size_t running = 0;
    for (const Check& check : m_checks)
    {
        if (!check.Finished->load())
            ++running;
    }
    return running;
}

void CMonitorRunner::ReapFinished(std::list<Check>& finished)
{
    for (auto it = m_checks.begin(); it != m_checks.end();)
    {
        auto next = std::next(it);
        if (it->Finished->load())
            finished.splice(finished.end(), m_checks, it);
        it = next;
    }
}
