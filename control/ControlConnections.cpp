#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "ControlProtocol.h"
#include "ControlRequest.h"
#include "ControlServerShared.h"
#include "core/StopSignal.h"

namespace
{
using Clock = ControlClock;
}


void CControlServer::Run()
{
    ::pthread_setname_np(::pthread_self(), "qm-control");
    std::vector<pollfd> fds;
    while (!m_stop->IsRequested())
    {
        fds.clear();
        fds.push_back({m_stop->GetDescriptor(), POLLIN, 0});
        fds.push_back({m_shared->WakeFd, POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        auto deadline = Clock::time_point::max();
        for (const auto& connection : m_connections)
        {
            short events = 0;
            if (connection->Now == Connection::Step::Reading)
                events |= POLLIN;
            if (!connection->Out.empty())
                events |= POLLOUT;
            fds.push_back({connection->Fd, events, 0});
            if (connection->Now == Connection::Step::Reading || connection->Writing)
                deadline = std::min(deadline, connection->Deadline);
        }
        {
            std::lock_guard<std::mutex> guard(m_shared->Mutex);
            for (const auto& waiter : m_shared->Waiters)
                deadline = std::min(deadline, waiter.Deadline);
        }
        deadline = std::min(deadline, m_shared->FlushRefusals(false));
        int timeout = -1;
        if (deadline != Clock::time_point::max())
            timeout = static_cast<int>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count(), 0, 60'000));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (m_stop->IsRequested())
            break;
        if (fds[1].revents != 0)
        {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_shared->WakeFd, &count, sizeof count);
        }
        TakeInbox();
        // The connections polled are the first ones of the list: accepting appends.
        for (std::size_t i = 0; i + 3 < fds.size() && i < m_connections.size(); ++i)
        {
            Connection& connection = *m_connections[i];
            const short revents = fds[i + 3].revents;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && connection.Now == Connection::Step::Reading)
                ReadFrom(connection);
            else if ((revents & (POLLHUP | POLLERR)) != 0)
                connection.Now = Connection::Step::Closing, connection.Out.clear();
            if ((revents & POLLOUT) != 0)
                WriteTo(connection);
        }
        if (fds[2].revents != 0)
            Accept();

        const auto now = Clock::now();
        m_shared->ExpireWaiters(now);
        TakeInbox();
        for (auto& connection : m_connections)
        {
            if (connection->Now == Connection::Step::Reading && now >= connection->Deadline)
                Answer(*connection, std::string(ControlReply::kUsage) + " no whole request line within " +
                                        std::to_string(kRequestTime.count()) + " s\n");
            else if (connection->Writing && now >= connection->Deadline)
                connection->Now = Connection::Step::Closing, connection->Out.clear();
        }
        // Gone: closed by the peer, or answered and written.
        std::vector<std::uint64_t> gone;
        for (const auto& connection : m_connections)
            if (connection->Now == Connection::Step::Closing && connection->Out.empty())
                gone.push_back(connection->Id);
        if (!gone.empty())
        {
            {
                std::lock_guard<std::mutex> guard(m_shared->Mutex);
                for (const std::uint64_t id : gone)
                {
                    m_shared->Followers.erase(id);
                    std::erase_if(m_shared->Waiters, [id](const Shared::Waiter& w) { return w.Id == id; });
                }
            }
            std::erase_if(m_connections, [&](const auto& c) {
                return std::find(gone.begin(), gone.end(), c->Id) != gone.end();
            });
        }
    }
}

void CControlServer::Accept()
{
    for (int i = 0; i < 8; ++i)
    {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        auto connection = std::make_unique<Connection>();
        connection->Id = m_nextId++;
        connection->Fd = fd;
        connection->Deadline = Clock::now() + kRequestTime;
        const CControlPeer peer = ReadControlPeer(fd);
        connection->Uid = peer.Uid;
        connection->Who = "local operator " + ControlUserName(peer.Uid);
        Connection& added = *connection;
        m_connections.push_back(std::move(connection));
        if (!peer.Known || !MayUse(peer.Uid, peer.Gid, peer.Groups, ::geteuid(), m_group))
        {
            const std::string who = peer.Known ? ControlUserName(peer.Uid) + " (pid " + std::to_string(peer.Pid) + ")"
                                               : std::string("a peer without credentials");
            m_shared->LogRefusal(Shared::kPeer, who + " may not use the control socket");
            const std::string own = ::geteuid() == 0 ? std::string() : ", " + ControlUserName(::geteuid());
            Answer(added, std::string(ControlReply::kRefused) + " only root" + own +
                              (m_group ? " and members of group " + m_groupName : std::string()) +
                              " may use this program's control socket\n");
            continue;
        }
        if (m_connections.size() > kMaxConnections)
            Answer(added, std::string(ControlReply::kRefused) + " too many connections at once; try again\n");
    }
}

void CControlServer::ReadFrom(Connection& connection)
{
    char buffer[CControlRequest::kMaxBytes];
    const ssize_t got = ::read(connection.Fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0)
    {
        // A client that ended its side after the request ("printf status | ...") still
        // wants its answer; one that left before it asked anything gets none.
        if (got == 0 && !connection.In.empty())
        {
            const std::string line = std::move(connection.In);
            connection.In.clear();
            return Handle(connection, line);
        }
        connection.Now = Connection::Step::Closing;
        connection.Out.clear();
        return;
    }
    connection.In.append(buffer, static_cast<std::size_t>(got));
    const auto end = connection.In.find('\n');
    if (end == std::string::npos)
    {
        if (connection.In.size() >= CControlRequest::kMaxBytes)
        {
            m_shared->LogRefusal(Shared::kRequest,
                                 "request longer than " + std::to_string(CControlRequest::kMaxBytes - 1) +
                                     " bytes from " + connection.Who);
            Answer(connection, std::string(ControlReply::kUsage) + " request longer than " +
                                   std::to_string(CControlRequest::kMaxBytes - 1) + " bytes\n");
        }
        return;
    }
    std::string line = connection.In.substr(0, end);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    connection.In.clear();
    Handle(connection, line);
}

void CControlServer::Answer(Connection& connection, const std::string& text)
{
    connection.Out += text;
    connection.Now = Connection::Step::Closing;
    connection.Writing = true;
    connection.Deadline = Clock::now() + kWriteTime;
    WriteTo(connection);
}

void CControlServer::WriteTo(Connection& connection)
{
    while (!connection.Out.empty())
    {
        const ssize_t written = ::send(connection.Fd, connection.Out.data(), connection.Out.size(), MSG_NOSIGNAL);
        if (written < 0)
        {
            if (errno == EAGAIN || errno == EINTR)
                return;
            connection.Out.clear();   // the peer went: nothing more to say
            connection.Now = Connection::Step::Closing;
            return;
        }
        connection.Out.erase(0, static_cast<std::size_t>(written));
        connection.Deadline = Clock::now() + kWriteTime;
    }
    if (connection.Now == Connection::Step::Following)
        connection.Writing = false;
}

void CControlServer::TakeInbox()
{
    std::vector<Shared::Reply> replies;
    std::vector<std::pair<std::uint64_t, std::string>> followed;
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        replies.swap(m_shared->Inbox);
        for (auto& [id, follower] : m_shared->Followers)
        {
            if (follower.Text.empty() && follower.Dropped == 0)
                continue;
            std::string text = std::move(follower.Text);
            follower.Text.clear();
            if (follower.Dropped > 0)
                text += "... " + std::to_string(follower.Dropped) + " lines not shown: the reader fell behind\n";
            follower.Dropped = 0;
            followed.emplace_back(id, std::move(text));
        }
    }
    auto find = [&](std::uint64_t id) -> Connection* {
        for (auto& connection : m_connections)
            if (connection->Id == id)
                return connection.get();
        return nullptr;
    };
    for (const auto& reply : replies)
        if (Connection* connection = find(reply.Id); connection != nullptr && connection->Now == Connection::Step::Busy)
            Answer(*connection, reply.Text);
    for (const auto& [id, text] : followed)
    {
        Connection* connection = find(id);
        if (connection == nullptr || connection->Now != Connection::Step::Following)
            continue;
        connection->Out += text;
        if (!connection->Writing)
        {
            connection->Writing = true;
            connection->Deadline = Clock::now() + kWriteTime;
        }
        WriteTo(*connection);
    }
}
