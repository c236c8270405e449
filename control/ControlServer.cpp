#include "ControlServer.h"

#include <grp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ControlServerShared.h"
#include "core/StopSignal.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "protocol/CommandResponse.h"

namespace
{
std::string ErrnoText(int error)
{
    return std::strerror(error);
}
}

CControlServer::CControlServer(CQuillmereManager* manager, Poster poster)
    : m_manager(manager), m_poster(std::move(poster))
{
}

CControlServer::~CControlServer()
{
    Stop();
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
        return m_shared->NoteLogLine(*line);
    if (auto* response = dynamic_cast<CCommandResponse*>(args))
        m_shared->NoteResponse(*response);
}
