#pragma once

#include <atomic>
#include <chrono>

// A stop that every wait of one run can watch: once requested it stays requested, and its
// descriptor stays readable, so a poll() anywhere in the run ends at once and so does every
// later one. A new run takes a new signal; an old run's signal is never reset under it.
class CStopSignal
{
public:
    CStopSignal();
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // Any thread, any number of times; async-signal-safe.
    void Request();
    bool IsRequested() const;
    // Readable once requested; -1 if the system gave no descriptor (then only IsRequested
    // and WaitFor, which then polls in short steps, can be used).
    int GetDescriptor() const { return m_pipe[0]; }
    // Sleeps up to `duration`; true when the stop came (at once, not at the end).
    bool WaitFor(std::chrono::milliseconds duration) const;

private:
    int m_pipe[2] = {-1, -1};
    std::atomic<bool> m_requested{false};   // lock-free, so a signal handler may set it
};
