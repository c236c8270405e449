#include "ControlServer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

#include "ControlProtocol.h"
#include "ControlRequest.h"
#include "ControlViews.h"
#include "config/AppSettings.h"
#include "config/RelayPermission.h"
#include "config/RelaySetting.h"
#include "core/StopSignal.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"

namespace
{
using Clock = std::chrono::steady_clock;
using Kind = CControlRequest::Kind;

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

// "root", or "uid 1234" for an account the system does not name.
std::string UserName(uid_t uid)
{
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string RelayName(int relay)
{
    return "relay " + std::to_string(relay);
}
}

// What the server thread, the UI thread's tasks and the observers (link worker, any thread
// that logs) share. Tasks hold it by shared_ptr, so one that runs after Stop finds it dead
// and does nothing.
struct CControlServer::Shared
{
    struct Waiter
    {
        std::uint64_t Id;
        int Code;
        std::vector<int> Codes;   // answers still missing: one, or the poll's eight
        int Relay;
        Clock::time_point Deadline;
        int WaitSeconds;
    };
    struct Follower
    {
        std::string Text;
        std::uint64_t After = 0;   // lines up to this sequence came with the backlog
        std::uint64_t Dropped = 0;
    };
    struct Reply
    {
        std::uint64_t Id;
        std::string Text;
    };

    CQuillmereManager* Manager = nullptr;
    CLog* Log = nullptr;
    int WakeFd = -1;

    std::mutex Mutex;   // guards everything below; never held while writing the log
    bool Alive = true;
    std::vector<Reply> Inbox;
    std::vector<Waiter> Waiters;
    std::map<std::uint64_t, Follower> Followers;
    int PendingTasks = 0;
    double Tokens = kCommandBurst;
    Clock::time_point TokensAt{};
    Clock::time_point LastReset{};
    bool ResetTaken = false;
    // Refusals of peers and of requests are summed up apart, so a stranger is always named
    // within a minute whatever else was refused.
    struct RefusalLog
    {
        Clock::time_point Last{};
        bool Logged = false;
        std::uint64_t Unlogged = 0;
    };
    RefusalLog Refusals[2];

    // With Mutex held: Stop closes the descriptor under it, and a record raised while the
    // server stopped must not write to a number the system gave to something else since.
    void Wake() const
    {
        if (WakeFd < 0)
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(WakeFd, &one, sizeof one);
    }

    // With Mutex held.
    void DeliverLocked(std::uint64_t id, std::string text)
    {
        Inbox.push_back({id, std::move(text)});
        Wake();
    }
    void Deliver(std::uint64_t id, std::string text)
    {
        std::lock_guard<std::mutex> guard(Mutex);
        DeliverLocked(id, std::move(text));
    }

    // With Mutex held.
    bool TakeTokenLocked()
    {
        const auto now = Clock::now();
        if (TokensAt == Clock::time_point{})
            TokensAt = now;
        Tokens = std::min(kCommandBurst,
                          Tokens + std::chrono::duration<double>(now - TokensAt).count() * kCommandsPerSecond);
        TokensAt = now;
        if (Tokens < 1.0)
            return false;
        Tokens -= 1.0;
        return true;
    }

    enum Kind
    {
        kPeer,
        kRequest
    };

    // One line a minute at most of each kind; the rest are counted into the next one, or
    // into a line of their own once the minute is over (FlushRefusals).
    void LogRefusal(Kind kind, const std::string& reason)
    {
        std::string text;
        {
            std::lock_guard<std::mutex> guard(Mutex);
            RefusalLog& log = Refusals[kind];
            const auto now = Clock::now();
            if (log.Logged && now - log.Last < kRefusalLogInterval)
            {
                ++log.Unlogged;
                return;
            }
            text = "Control request refused: " + reason;
            if (log.Unlogged > 0)
                text += " (" + std::to_string(log.Unlogged) + " more refused before it)";
            log.Unlogged = 0;
            log.Logged = true;
            log.Last = now;
        }
        if (Log != nullptr)
            Log->Write(LogEntryLevel::Error, text);
    }

    // Writes the counts whose minute is over (all of them with `all`); returns when the next
    // one is due, or max() when none waits.
    Clock::time_point FlushRefusals(bool all)
    {
        std::vector<std::string> lines;
        auto next = Clock::time_point::max();
        {
            std::lock_guard<std::mutex> guard(Mutex);
            const auto now = Clock::now();
            for (int kind : {kPeer, kRequest})
            {
                RefusalLog& log = Refusals[kind];
                if (log.Unlogged == 0)
                    continue;
                if (!all && now - log.Last < kRefusalLogInterval)
                {
                    next = std::min(next, log.Last + kRefusalLogInterval);
                    continue;
                }
                lines.push_back("Control request refused: " + std::to_string(log.Unlogged) + " more " +
                                (kind == kPeer ? "connections from users who may not use the socket"
                                               : "requests refused"));
                log.Unlogged = 0;
                log.Logged = false;
            }
        }
        for (const std::string& line : lines)
            if (Log != nullptr)
                Log->Write(LogEntryLevel::Error, line);
        return next;
    }
};

struct CControlServer::Connection
{
    enum class Step
    {
        Reading,     // the request line
        Busy,        // the UI thread or the unit has it
        Following,   // log follow: lines as they are written
        Closing,     // the answer is written, then the connection closes
    };

    std::uint64_t Id = 0;
    int Fd = -1;
    uid_t Uid = 0;
    std::string Who;
    std::string In;
    std::string Out;
    Step Now = Step::Reading;
    Clock::time_point Deadline;   // for reading the request, and for any answer being written
    bool Writing = false;

    ~Connection()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

CControlServer::CControlServer(CQuillmereManager* manager, Poster poster)
    : m_manager(manager), m_poster(std::move(poster))
{
}

CControlServer::~CControlServer()
{
    Stop();
}

bool CControlServer::MayUse(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, uid_t ownUid,
                            std::optional<gid_t> group)
{
    if (uid == 0 || uid == ownUid)
        return true;
    if (!group)
        return false;
    return gid == *group || std::find(groups.begin(), groups.end(), *group) != groups.end();
}

bool CControlServer::Start(const std::string& path, const std::string& group)
{
    if (IsRunning() || path.empty())
        return false;
    CLog* log = m_manager->GetLog();
    auto fail = [&](const std::string& why) {
        if (log != nullptr)
            log->Write(LogEntryLevel::Error, "Control socket " + path + " not made: " + why);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return fail("the path is too long");
    path.copy(address.sun_path, sizeof address.sun_path - 1);

    m_group.reset();
    m_groupName.clear();
    if (!group.empty())
    {
        ::group entry{};
        ::group* found = nullptr;
        char buffer[4096];
        // Only a group this program is in (or root) can be given the socket; otherwise the
        // socket is its own user's, as for a service in someone's own account.
        std::vector<gid_t> own(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        own.resize(static_cast<std::size_t>(std::max(::getgroups(static_cast<int>(own.size()), own.data()), 0)));
        if (::getgrnam_r(group.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            (::geteuid() == 0 || ::getegid() == found->gr_gid ||
             std::find(own.begin(), own.end(), found->gr_gid) != own.end()))
        {
            m_group = found->gr_gid;
            m_groupName = group;
        }
    }

    // The folder: the service manager's RuntimeDirectory= is there already; one made here is
    // reachable by the group only when there is one.
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (::mkdir(folder.c_str(), m_group ? 0755 : 0700) != 0 && errno != EEXIST)
        return fail("cannot make " + folder.string() + ": " + ErrnoText(errno));

    // A socket left by a program that ended is taken over; one that answers belongs to a
    // program still running, and anything else there is left alone.
    struct stat existing{};
    if (::lstat(path.c_str(), &existing) == 0)
    {
        if (!S_ISSOCK(existing.st_mode))
            return fail("something that is not a socket is there");
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answers =
            probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (answers)
            return fail("another program answers there");
        ::unlink(path.c_str());
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return fail(ErrnoText(errno));
    // Until the chmod below the mode is what the umask leaves, never more than the owner's
    // write bit for others: connecting needs write permission, which 0755 gives nobody else.
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail(ErrnoText(errno));
    if (::chmod(path.c_str(), m_group ? 0660 : 0600) != 0 ||
        (m_group && ::chown(path.c_str(), static_cast<uid_t>(-1), *m_group) != 0))
    {
        const std::string why = ErrnoText(errno);
        ::unlink(path.c_str());
        return fail("cannot set its mode or group: " + why);
    }
    if (::listen(m_listenFd, static_cast<int>(kMaxConnections)) != 0)
    {
        const std::string why = ErrnoText(errno);
        ::unlink(path.c_str());
        return fail(why);
    }

    m_shared = std::make_shared<Shared>();
    m_shared->Manager = m_manager;
    m_shared->Log = log;
    m_shared->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_shared->WakeFd < 0)
    {
        ::unlink(path.c_str());
        return fail(ErrnoText(errno));
    }
    m_path = path;
    m_stop = std::make_unique<CStopSignal>();
    m_manager->Attach(this);
    m_manager->AttachLogObserver(this);
    m_attached = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CControlServer::Stop()
{
    if (!IsRunning())
        return;
    m_stop->Request();
    m_thread.join();
    if (m_attached)
    {
        m_manager->Detach(this);
        if (CLog* log = m_manager->GetLog())
            log->Detach(this);
        m_attached = false;
    }
    m_connections.clear();
    int wakeFd = -1;
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        m_shared->Alive = false;
        m_shared->Waiters.clear();
        m_shared->Followers.clear();
        m_shared->Inbox.clear();
        std::swap(wakeFd, m_shared->WakeFd);
    }
    ::close(wakeFd);
    m_shared->FlushRefusals(true);
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_path.c_str());
}

void CControlServer::Update(CEventArgs* args)
{
    if (auto* line = dynamic_cast<CWriteLogEventArgs*>(args))
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        if (m_shared->Followers.empty())
            return;
        for (auto& [id, follower] : m_shared->Followers)
        {
            if (line->Sequence != 0 && line->Sequence <= follower.After)
                continue;
            if (follower.Text.size() + line->Line.size() > kMaxFollowBacklog)
                ++follower.Dropped;
            else
                follower.Text += line->Line;
        }
        m_shared->Wake();
        return;
    }
    auto* response = dynamic_cast<CCommandResponse*>(args);
    if (response == nullptr)
        return;
    const CSerialCommand* command = response->GetCommand();
    std::lock_guard<std::mutex> guard(m_shared->Mutex);
    if (!m_shared->Alive)
        return;
    auto& waiters = m_shared->Waiters;
    for (auto it = waiters.begin(); it != waiters.end();)
    {
        const bool relayMatches = it->Relay == 0 || (command != nullptr && command->Param1 == it->Relay);
        const auto code = std::find(it->Codes.begin(), it->Codes.end(), response->GetType());
        if (code == it->Codes.end() || !relayMatches)
        {
            ++it;
            continue;
        }
        it->Codes.erase(code);
        std::string text;
        if (response->GetResult() == LinkStatus::Ok && !it->Codes.empty())
        {
            ++it;   // the poll waits for its other answers
            continue;
        }
        if (response->GetResult() != LinkStatus::Ok)
            text = std::string(ControlReply::kNoAnswer) + " " +
                   m_manager->FailureText(response->GetType(), response->GetResult()) + "\n";
        else if (it->Code == CommandCode::RelayToggle)
        {
            const std::int32_t state = m_manager->GetRelayStates().GetState(it->Relay);
            text = std::string(ControlReply::kDone) + " " + RelayName(it->Relay) + " is " +
                   (state == 0 ? "on" : state == 1 ? "off" : "in an unknown state") + ", as the unit answered\n";
        }
        else if (it->Code == CommandCode::RelayTestCycle)
            text = std::string(ControlReply::kDone) + " the unit took the power cycle of " + RelayName(it->Relay) +
                   "\n";
        else if (it->Code == CommandCode::Reset)
            text = std::string(ControlReply::kDone) + " the unit took the reset\n";
        else
            text = std::string(ControlReply::kDone) + " the unit answered the poll\n";
        m_shared->DeliverLocked(it->Id, std::move(text));
        it = waiters.erase(it);
    }
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
        {
            std::lock_guard<std::mutex> guard(m_shared->Mutex);
            auto& waiters = m_shared->Waiters;
            for (auto it = waiters.begin(); it != waiters.end();)
            {
                if (it->Deadline > now)
                {
                    ++it;
                    continue;
                }
                m_shared->Inbox.push_back(
                    {it->Id, std::string(ControlReply::kNoAnswer) + " no answer from the unit within " +
                                 std::to_string(it->WaitSeconds) +
                                 " s; the order stays queued until the unit answers it or its lifetime ends\n"});
                it = waiters.erase(it);
            }
        }
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
        ucred peer{};
        socklen_t size = sizeof peer;
        std::vector<gid_t> groups(64);
        socklen_t groupBytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupBytes) == 0)
            groups.resize(groupBytes / sizeof(gid_t));
        else
            groups.clear();   // too many to read: the primary group still counts
        connection->Uid = peer.uid;
        connection->Who = "local operator " + UserName(peer.uid);
        Connection& added = *connection;
        m_connections.push_back(std::move(connection));
        if (!known || !MayUse(peer.uid, peer.gid, groups, ::geteuid(), m_group))
        {
            const std::string who = known ? UserName(peer.uid) + " (pid " + std::to_string(peer.pid) + ")"
                                          : std::string("a peer without credentials");
            m_shared->LogRefusal(Shared::kPeer, who + " may not use the control socket");
            const std::string own = ::geteuid() == 0 ? std::string() : ", " + UserName(::geteuid());
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

void CControlServer::StartFollowing(Connection& connection, int lines)
{
    CLog* log = m_manager->GetLog();
    std::size_t followers = 0;
    for (const auto& other : m_connections)
        followers += other->Now == Connection::Step::Following ? 1 : 0;
    if (followers >= kMaxFollowers)
        return Answer(connection, std::string(ControlReply::kRefused) + " " + std::to_string(kMaxFollowers) +
                                      " readers follow the log already\n");
    const std::uint64_t before = log != nullptr ? log->GetLastSequence() : 0;
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        m_shared->Followers[connection.Id].After = before;
    }
    std::vector<std::string> newest;
    if (log != nullptr && lines > 0)
        newest = log->ReadNewestLines(static_cast<std::size_t>(lines));
    std::string text = std::string(ControlReply::kDone) + " following the log\n";
    for (auto it = newest.rbegin(); it != newest.rend(); ++it)
        text += *it + "\n";
    connection.Now = Connection::Step::Following;
    connection.Out += text;
    connection.Writing = true;
    connection.Deadline = Clock::now() + kWriteTime;
    WriteTo(connection);
}

void CControlServer::Handle(Connection& connection, const std::string& line)
{
    const CControlRequest request = ParseControlRequest(line);
    if (!request.IsValid())
    {
        m_shared->LogRefusal(Shared::kRequest, request.Error + " (from " + connection.Who + ")");
        return Answer(connection, std::string(ControlReply::kUsage) + " " + request.Error + "\n");
    }
    if (request.What == Kind::Log)
    {
        if (request.Follow)
            return StartFollowing(connection, request.Lines);
        CLog* log = m_manager->GetLog();
        std::vector<std::string> newest;
        if (log != nullptr && request.Lines > 0)
            newest = log->ReadNewestLines(static_cast<std::size_t>(request.Lines));
        std::string text = std::string(ControlReply::kDone) + " " + std::to_string(newest.size()) + " lines\n";
        for (auto it = newest.rbegin(); it != newest.rend(); ++it)
            text += *it + "\n";
        return Answer(connection, text);
    }
    if (request.What == Kind::Reload && !m_reloader)
        return Answer(connection, std::string(ControlReply::kRefused) +
                                      " the window program reads its settings from its Settings page\n");

    std::string refusal;
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        const auto now = Clock::now();
        if (request.What == Kind::Reset && m_shared->ResetTaken && now - m_shared->LastReset < kResetInterval)
            refusal = "a reset is taken at most once every " + std::to_string(kResetInterval.count()) + " s";
        else if (request.IsUnitCommand() && !m_shared->TakeTokenLocked())
            refusal = "more than " + std::to_string(static_cast<int>(kCommandsPerSecond)) + " commands a second";
        else if (m_shared->PendingTasks >= kMaxPendingTasks)
            refusal = "too many requests waiting; try again";
        if (refusal.empty())
        {
            if (request.What == Kind::Reset)
            {
                m_shared->ResetTaken = true;
                m_shared->LastReset = now;
            }
            ++m_shared->PendingTasks;
        }
    }
    if (!refusal.empty())
    {
        if (request.IsUnitCommand())
            m_shared->LogRefusal(Shared::kRequest, line + " by " + connection.Who + ": " + refusal);
        return Answer(connection, std::string(ControlReply::kRefused) + " " + refusal + "\n");
    }

    connection.Now = Connection::Step::Busy;
    const std::uint64_t id = connection.Id;
    const std::string who = connection.Who;
    std::shared_ptr<Shared> shared = m_shared;
    Reloader reloader = m_reloader;
    // On the UI thread: the settings are read there only, and the manager takes orders there.
    m_poster([shared, id, who, request, line, reloader] {
        {
            std::lock_guard<std::mutex> guard(shared->Mutex);
            --shared->PendingTasks;
            if (!shared->Alive)
                return;
        }
        CQuillmereManager& manager = *shared->Manager;
        auto refuse = [&](const std::string& why) {
            shared->LogRefusal(Shared::kRequest, line + " by " + who + ": " + why);
            shared->Deliver(id, std::string(ControlReply::kRefused) + " " + why + "\n");
        };
        switch (request.What)
        {
        case Kind::Status:
            return shared->Deliver(id, std::string(ControlReply::kDone) + " status\n" +
                                           StatusView(manager, request.Json));
        case Kind::Monitors:
            return shared->Deliver(id, std::string(ControlReply::kDone) + " monitors\n" +
                                           MonitorsView(manager, request.Json));
        case Kind::Reload:
        {
            if (shared->Log != nullptr)
                shared->Log->Write(LogEntryLevel::Event, "Settings reload requested by " + who);
            const std::string why = reloader();
            return shared->Deliver(id, why.empty() ? std::string(ControlReply::kDone) + " settings read again\n"
                                                   : std::string(ControlReply::kRefused) + " " + why + "\n");
        }
        default:
            break;
        }
        if (!manager.IsLinkRunning())
            return refuse("the link to the unit is not running");
        int code = CommandCode::RelayStatus;
        if (request.What == Kind::RelayOn || request.What == Kind::RelayOff || request.What == Kind::RelayCycle)
        {
            const CAppSettings* settings = manager.GetSettings();
            const CRelaySetting* setting = settings != nullptr ? settings->FindRelaySetting(request.Relay) : nullptr;
            const std::string relay = RelayName(request.Relay);
            if (setting == nullptr)
                return refuse(relay + " is not configured");
            const RelayPermission permission = setting->GetPermission();
            const std::string permissionText = RelayPermissionToText(RelayPermissionRead(permission));
            if (request.What == Kind::RelayCycle && !RelayPermissionAllowsCycle(permission))
                return refuse(relay + " may not be power-cycled (permission " + permissionText + ")");
            if (request.What != Kind::RelayCycle && !RelayPermissionAllowsSwitch(permission))
                return refuse(relay + " may not be switched on or off (permission " + permissionText + ")");
            code = request.What == Kind::RelayCycle ? CommandCode::RelayTestCycle : CommandCode::RelayToggle;
        }
        else if (request.What == Kind::Reset)
            code = CommandCode::Reset;
        {
            // Waiting before the order goes: its answer may come before this task returns.
            std::lock_guard<std::mutex> guard(shared->Mutex);
            // A poll is answered when every one of its questions is; the manager asks these.
            std::vector<int> codes{code};
            if (request.What == Kind::Poll)
                codes = {CommandCode::TamperStatus, CommandCode::RadioCapability, CommandCode::Rssi,
                         CommandCode::RelayStatus,  CommandCode::DateTime,        CommandCode::Gps,
                         CommandCode::GsmStatus,    CommandCode::Uptime};
            const bool anyRelay = request.What == Kind::Poll || request.What == Kind::Reset;
            shared->Waiters.push_back({id, code, std::move(codes), anyRelay ? 0 : request.Relay,
                                       Clock::now() + std::chrono::seconds(request.WaitSeconds), request.WaitSeconds});
            shared->Wake();
        }
        switch (request.What)
        {
        case Kind::RelayOn:
        case Kind::RelayOff:
            manager.SetRelayBy(request.Relay, request.What == Kind::RelayOn ? 0 : 1, who);
            break;
        case Kind::RelayCycle:
            manager.PowerCycleRelayBy(request.Relay, who);
            break;
        case Kind::Reset:
            manager.ResetDeviceBy(who);
            break;
        default:
            if (shared->Log != nullptr)
                shared->Log->Write(LogEntryLevel::Event, "Status poll requested by " + who);
            manager.Poll();
            break;
        }
    });
}
