#include "TcpCheck.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
std::string ErrorReason(int error)
{
    if (error == ECONNREFUSED)
        return "connection refused";
    return std::strerror(error);
}

bool ConnectOnce(const sockaddr_in& address, const PingTiming& timing, std::string& reason)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        reason = ErrorReason(errno);
        return false;
    }
    bool connected = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        connected = true;
    else if (errno != EINPROGRESS)
        reason = ErrorReason(errno);
    else
    {
        const int ready = WaitForDescriptor(fd, POLLOUT, timing.ReplyTimeoutMs);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready == 0)
            reason = NoAnswerReason(timing);
        else if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0)
        {
            connected = error == 0;
            if (!connected)
                reason = ErrorReason(error);
        }
    }
    ::close(fd);
    return connected;
}
}

CheckOutcome TcpCheck(const CheckTarget& target, const PingTiming& timing)
{
    sockaddr_in address{};
    if (!ResolveIPv4(target.Host, address, timing.Tries * (timing.ReplyTimeoutMs + timing.PauseAfterFailureMs)))
    {
        CheckOutcome outcome;
        outcome.Abandoned = IsCheckCancelled();
        outcome.Reason = "name not resolved";
        return outcome;
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(target.Port));
    return RunTries(timing, [&](std::string& reason) { return ConnectOnce(address, timing, reason); });
}
