#include "EngineTimerService.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

std::uint64_t MonotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

CEngineTimerService::CEngineTimerService() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CEngineTimerService::~CEngineTimerService()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

ITimerService::TimerId CEngineTimerService::SetTimer(std::uint32_t periodMs, Callback callback)
{
    // The clock is read in whole milliseconds, rounded down; counting from the next one
    // means a tick never comes before its period has passed.
    return m_queue.Add(periodMs, std::move(callback), MonotonicMs() + 1);
}

bool CEngineTimerService::KillTimer(TimerId id)
{
    return m_queue.Remove(id);
}

void CEngineTimerService::Watch(int fd, Task onReadable)
{
    if (fd >= 0 && onReadable)
        m_watches.emplace_back(fd, std::move(onReadable));
}

void CEngineTimerService::Post(Task task)
{
    if (!task)
        return;
    {
        std::lock_guard<std::mutex> guard(m_postLock);
        m_posted.push_back(std::move(task));
    }
    Wake();
}

void CEngineTimerService::Quit()
{
    m_quit = true;
    Wake();
}

void CEngineTimerService::Wake()
{
    const std::uint64_t one = 1;
    // A full counter already holds a wake-up; nothing is lost without this one.
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

void CEngineTimerService::DrainWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
}

void CEngineTimerService::RunPosted()
{
    // Taken one at a time and run without the lock, so a task may post another.
    for (;;)
    {
        Task task;
        {
            std::lock_guard<std::mutex> guard(m_postLock);
            if (m_posted.empty())
                return;
            task = std::move(m_posted.front());
            m_posted.pop_front();
        }
        task();
        if (m_quit)
            return;
    }
}

void CEngineTimerService::Run()
{
    if (!IsValid())
        return;
    std::vector<pollfd> fds;
    while (!m_quit)
    {
        fds.assign(1, pollfd{m_wakeFd, POLLIN, 0});
        for (const auto& [fd, task] : m_watches)
            fds.push_back(pollfd{fd, POLLIN, 0});

        int timeout = -1;
        if (const std::optional<std::uint64_t> due = m_queue.NextDue())
        {
            const std::uint64_t now = MonotonicMs();
            timeout = *due <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(*due - now, INT_MAX));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready > 0 && (fds[0].revents & POLLIN) != 0)
            DrainWake();
        RunPosted();
        // A watched descriptor that keeps reporting an error would spin the loop; it is
        // handed to its task, which is expected to read or close it.
        for (std::size_t i = 1; i < fds.size() && !m_quit; ++i)
            if (ready > 0 && fds[i].revents != 0)
                m_watches[i - 1].second();
        if (!m_quit)
            m_queue.RunDue(MonotonicMs());
    }
}
