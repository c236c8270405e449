#include "TestPort.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

int Left(Clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}
}  // namespace

TestPort::TestPort(const std::string& path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0)
        return;
    termios line{};
    if (tcgetattr(m_fd, &line) == 0)
    {
        cfmakeraw(&line);
        tcsetattr(m_fd, TCSANOW, &line);
    }
}

TestPort::~TestPort()
{
    Close();
}

void TestPort::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TestPort::Write(const Bytes& bytes)
{
    return m_fd >= 0 && ::write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TestPort::Bytes TestPort::Read(std::size_t count, int timeoutMs)
{
    Bytes result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0 && result.size() < count)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, Left(deadline)) <= 0)
            break;
        std::uint8_t byte[512];
        const ssize_t n = ::read(m_fd, byte, count - result.size() < sizeof byte ? count - result.size() : sizeof byte);
        if (n <= 0)
            break;
        result.insert(result.end(), byte, byte + n);
    }
    return result;
}

TestPort::Bytes TestPort::ReadUntilQuiet(int quietMs, int timeoutMs)
{
    Bytes result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0 && Left(deadline) > 0)
    {
        Bytes more = Read(4096, std::min(quietMs, Left(deadline)));
        if (more.empty())
            break;
        result.insert(result.end(), more.begin(), more.end());
    }
    return result;
}

TestPort::Bytes TestPort::Exchange(const Bytes& frame, int timeoutMs)
{
    if (!Write(frame))
        return {};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes answer = Read(1, timeoutMs);
    if (answer.empty() || answer[0] != 0x02)
        return answer;
    Bytes header = Read(2, Left(deadline));
    answer.insert(answer.end(), header.begin(), header.end());
    if (header.size() < 2)
        return answer;
    Bytes rest = Read(header[1] + 2u, Left(deadline));
    answer.insert(answer.end(), rest.begin(), rest.end());
    return answer;
}

TestPort::Bytes Frame(std::uint8_t code, const TestPort::Bytes& payload)
{
    TestPort::Bytes frame{0x02, code, static_cast<std::uint8_t>(payload.size())};
    std::uint8_t sum = code ^ static_cast<std::uint8_t>(payload.size());
    for (std::uint8_t b : payload)
    {
        frame.push_back(b);
        sum ^= b;
    }
    frame.push_back(sum);
    frame.push_back(0x03);
    return frame;
}
