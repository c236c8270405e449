#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// A socket bound to an ephemeral port of 127.0.0.1; the port is 0 when that failed.
int BindLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    return fd;
}
}

int FreeLoopbackPort()
{
    int port = 0;
    const int fd = BindLoopback(port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

std::string CLoopbackPeer::HttpReply(int status)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

CLoopbackPeer::CLoopbackPeer(std::string reply, bool trickle) : m_reply(std::move(reply)), m_trickle(trickle)
{
    int port = 0;
    m_fd = BindLoopback(port);
    if (port == 0 || ::listen(m_fd, 64) != 0)
        return;
    m_port = port;
    m_thread = std::thread([this] { Serve(); });
}

CLoopbackPeer::~CLoopbackPeer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void CLoopbackPeer::Serve()
{
    while (!m_stop)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const int client = ::accept(m_fd, nullptr, nullptr);
        if (client < 0)
            continue;
        ++m_connections;
        char request[2048];
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 1000) > 0)
        {
            const ssize_t n = ::recv(client, request, sizeof request, 0);
            std::lock_guard<std::mutex> guard(m_requestLock);
            m_lastRequest.assign(request, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        if (!m_reply.empty())
        {
            [[maybe_unused]] const ssize_t n = ::send(client, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
            const std::string chunk(100, 'x');
            // Until the client hangs up (a send fails) or the peer ends.
            while (m_trickle && !m_stop && ::send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0)
                ::poll(nullptr, 0, 100);
        }
        else
            while (!m_stop && ::poll(&c, 1, 20) >= 0 && (c.revents & POLLHUP) == 0)
                if ((c.revents & POLLIN) != 0 && ::recv(client, request, sizeof request, 0) <= 0)
                    break;
        ::close(client);
    }
}

std::string CLoopbackPeer::LastRequest() const
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    return m_lastRequest;
}
