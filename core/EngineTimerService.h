#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "TimerQueue.h"
#include "TimerService.h"

// The engine's own timer service for a program without windows: the thread that calls Run
// is the one the timers, the posted tasks and the watched descriptors run on, as the window
// program's UI thread is for it. One poll() waits for the next tick on a monotonic clock,
// for a wake-up descriptor that Post and Quit write to, and for the watched descriptors.
class CEngineTimerService : public ITimerService
{
public:
    using Task = std::function<void()>;

    CEngineTimerService();
    ~CEngineTimerService() override;
    CEngineTimerService(const CEngineTimerService&) = delete;
    CEngineTimerService& operator=(const CEngineTimerService&) = delete;

    // False when the wake-up descriptor could not be made; Run then returns at once.
    bool IsValid() const { return m_wakeFd >= 0; }

    // The loop's thread (or before Run, the thread that will call it).
    TimerId SetTimer(std::uint32_t periodMs, Callback callback) override;
    bool KillTimer(TimerId id) override;
    std::size_t ActiveCount() const { return m_queue.Count(); }
    std::uint32_t PeriodOf(TimerId id) const { return m_queue.PeriodOf(id); }
    // Calls onReadable on the loop whenever fd is readable; the caller keeps fd open while
    // the loop runs.
    void Watch(int fd, Task onReadable);

    // Any thread: the task runs on the loop, in the order posted. Tasks still waiting when
    // the service goes are dropped unrun.
    void Post(Task task);
    // Any thread: Run returns after the callback or task under way.
    void Quit();

    void Run();

private:
    void Wake();
    void DrainWake();
    void RunPosted();

    CTimerQueue m_queue;
    int m_wakeFd = -1;
    std::atomic<bool> m_quit{false};
    std::mutex m_postLock;
    std::deque<Task> m_posted;
    std::vector<std::pair<int, Task>> m_watches;
};

// Milliseconds of CLOCK_MONOTONIC: never steps back, whatever the wall clock does.
std::uint64_t MonotonicMs();
