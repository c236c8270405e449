#include "BoundedLock.h"

void CBoundedLock::lock()
{
    std::unique_lock<std::mutex> guard(m_mutex);
    m_released.wait(guard, [this] { return !m_held; });
    m_held = true;
}

bool CBoundedLock::try_lock()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_held)
        return false;
    m_held = true;
    return true;
}

bool CBoundedLock::try_lock_for(std::chrono::steady_clock::duration limit)
{
    std::unique_lock<std::mutex> guard(m_mutex);
    // Against the steady clock, so that a change of the wall clock neither stretches nor
    // cuts short the wait.
    if (!m_released.wait_until(guard, std::chrono::steady_clock::now() + limit, [this] { return !m_held; }))
        return false;
    m_held = true;
    return true;
}

void CBoundedLock::unlock()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_held = false;
    }
    m_released.notify_one();
}
