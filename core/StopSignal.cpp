#include "StopSignal.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

CStopSignal::CStopSignal()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_pipe[0] = m_pipe[1] = -1;
}

CStopSignal::~CStopSignal()
{
    for (int fd : m_pipe)
    {
        if (fd >= 0)
            ::close(fd);
    }
}

void CStopSignal::Request()
{
    m_requested.store(true);
    if (m_pipe[1] < 0)
        return;
    // One byte is enough and is never read: the descriptor stays readable for good.
    const unsigned char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_pipe[1], &byte, 1);
}

bool CStopSignal::IsRequested() const
{
    return m_requested.load();
}

bool CStopSignal::WaitFor(std::chrono::milliseconds duration) const
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + duration;
    for (;;)
    {
        if (IsRequested())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        // Without a descriptor the flag is looked at every 20 ms.
        pollfd pfd{m_pipe[0], POLLIN, 0};
        const int step = m_pipe[0] >= 0 ? static_cast<int>(left) : static_cast<int>(std::min<long long>(left, 20));
        ::poll(m_pipe[0] >= 0 ? &pfd : nullptr, m_pipe[0] >= 0 ? 1 : 0, step);
    }
}
