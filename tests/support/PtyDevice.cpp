#include "PtyDevice.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"

PtyDevice::PtyDevice(int comNumber)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0)
    {
        close(m_master);
        m_master = -1;
        return;
    }
    termios raw{};
    if (tcgetattr(m_master, &raw) == 0)
    {
        cfmakeraw(&raw);
        tcsetattr(m_master, TCSANOW, &raw);
    }
    const std::string ports = JoinPath(GetDataFolder(), "ports");
    CreateDirectoryTree(ports);
    m_link = JoinPath(ports, "COM" + std::to_string(comNumber));
    unlink(m_link.c_str());
    if (symlink(ptsname(m_master), m_link.c_str()) != 0)
    {
        close(m_master);
        m_master = -1;
    }
}

PtyDevice::~PtyDevice()
{
    if (!m_link.empty())
        unlink(m_link.c_str());
    if (m_master >= 0)
        close(m_master);
}

std::vector<std::uint8_t> PtyDevice::ReadFrame(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::uint8_t> frame;
    while (m_master >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return {};
        pollfd descriptor{m_master, POLLIN, 0};
        if (poll(&descriptor, 1, static_cast<int>(left)) <= 0)
            continue;
        std::uint8_t byte = 0;
        if (read(m_master, &byte, 1) != 1)
            continue;
        if (frame.empty() && byte != 0x02)
            continue;   // anything before a start byte is not a frame
        frame.push_back(byte);
        if (frame.size() >= 3 && frame.size() == static_cast<std::size_t>(frame[2]) + 5)
            return frame;
    }
    return {};
}

void PtyDevice::WriteFrame(std::uint8_t code, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> frame{0x02, code, static_cast<std::uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::uint8_t checksum = 0;
    for (std::size_t n = 1; n < frame.size(); ++n)
        checksum ^= frame[n];
    frame.push_back(checksum);
    frame.push_back(0x03);
    if (m_master >= 0)
        (void)!write(m_master, frame.data(), frame.size());
}
