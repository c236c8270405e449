#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// An exclusive lock whose waits can be bounded, usable like std::timed_mutex (lock_guard,
// unique_lock, try_lock_for). libstdc++ implements timed_mutex::try_lock_for with
// pthread_mutex_clocklock, which the toolchain's ThreadSanitizer does not intercept, so every
// unlock after a timed lock is reported as an error and real races would drown in the noise.
// A flag under a plain mutex with a condition variable needs nothing TSan cannot see.
class CBoundedLock
{
public:
    CBoundedLock() = default;
    CBoundedLock(const CBoundedLock&) = delete;
    CBoundedLock& operator=(const CBoundedLock&) = delete;

    void lock();
    bool try_lock();
    bool try_lock_for(std::chrono::steady_clock::duration limit);
    void unlock();   // only by the holder

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_held = false;   // guarded by m_mutex
};
