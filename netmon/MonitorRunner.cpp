#include "MonitorRunner.h"

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
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ReapFinished(finished);
        if (m_checks.size() < MaxRunningChecks)
        {
            auto done = std::make_shared<std::atomic<bool>>(false);
            try
            {
                std::thread thread([monitor = std::move(monitor), done, cancel = m_cancellation,
                                     trace = m_trace]() mutable {
                    SetThreadPingCancellation(std::move(cancel));
                    std::string failure;
                    monitor->Run(&failure);
                    if (!failure.empty() && trace)
                        trace(failure);
                    SetThreadPingCancellation(nullptr);
                    // The last owner may be this thread: the monitor goes before the flag
                    // says the thread has nothing left to touch.
                    monitor.reset();
                    done->store(true);
                });
                m_checks.push_back(Check{std::move(thread), std::move(done)});
                started = true;
            }
            catch (const std::system_error&)
            {
                started = false;
            }
        }
    }
    // Joined outside the lock; these threads have already finished their work.
    for (Check& check : finished)
        check.Thread.join();
    return started;
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
