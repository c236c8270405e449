#include "ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>

CServiceNotifier::CServiceNotifier()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_listening = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID, so a child that inherited the variables stays quiet.
    if (m_listening && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_pingInterval = std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
}

bool CServiceNotifier::IsUnderServiceManager()
{
    for (const char* name : {"NOTIFY_SOCKET", "INVOCATION_ID"})
        if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0')
            return true;
    return false;
}

void CServiceNotifier::Send(const std::string& state)
{
    if (m_listening)
        sd_notify(0, state.c_str());
}

namespace
{
// The protocol is one assignment per line: a line break in a status would end it early.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}
}

void CServiceNotifier::Ready(const std::string& status)
{
    m_lastStatus = status;
    Send("READY=1\nSTATUS=" + OneLine(status));
}

void CServiceNotifier::Reloading()
{
    // The manager also takes the time of the request, so that a READY=1 older than the
    // reload is not taken as its end.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t usec =
        static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void CServiceNotifier::Status(const std::string& status)
{
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    Send("STATUS=" + OneLine(status));
}

void CServiceNotifier::Watchdog()
{
    Send("WATCHDOG=1");
}

void CServiceNotifier::Stopping()
{
    Send("STOPPING=1");
}

bool CServiceNotifier::LinkIsMoving(bool running, std::chrono::steady_clock::time_point lastProgress,
                                    std::chrono::milliseconds longestQuiet, std::chrono::steady_clock::time_point now)
{
    return !running || now - lastProgress <= longestQuiet + kLinkMargin;
}
