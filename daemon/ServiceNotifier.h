#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// What the service tells its service manager, through libsystemd's sd_notify. Without a
// manager (no NOTIFY_SOCKET) every call does nothing, so the same program runs by hand.
class CServiceNotifier
{
public:
    CServiceNotifier();

    // Started by a service manager: NOTIFY_SOCKET or INVOCATION_ID is set.
    static bool IsUnderServiceManager();

    bool IsListening() const { return m_listening; }
    // The half of WatchdogSec= to ping at; zero when the manager runs no watchdog for us.
    std::chrono::milliseconds WatchdogPingInterval() const { return m_pingInterval; }

    void Ready(const std::string& status);
    // A reload begins; Ready says it has ended.
    void Reloading();
    // Sends only when the text differs from the last one sent.
    void Status(const std::string& status);
    void Watchdog();
    void Stopping();

    // Pings go out only while the link worker moves too: one that runs and has shown
    // nothing for longer than its longest quiet period plus this margin is wedged.
    static constexpr std::chrono::seconds kLinkMargin{5};
    static bool LinkIsMoving(bool running, std::chrono::steady_clock::time_point lastProgress,
                             std::chrono::milliseconds longestQuiet, std::chrono::steady_clock::time_point now);

private:
    void Send(const std::string& state);

    bool m_listening = false;
    std::chrono::milliseconds m_pingInterval{0};
    std::string m_lastStatus;
};
