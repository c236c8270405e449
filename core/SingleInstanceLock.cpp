#include "SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DataFolder.h"
#include "DirectoryTree.h"
#include "LockHolder.h"

namespace
{
enum class LockResult
{
    Held,
    Busy,
    Failed
};

void Say(const std::string& what, const std::string& path)
{
    std::fprintf(stderr, "%s: %s %s: %s\n", program_invocation_short_name, what.c_str(), path.c_str(),
                 std::strerror(errno));
}

// O_NOFOLLOW and a regular file only: a link or a FIFO put in its place is refused rather
// than followed or waited on.
int OpenLockFile(const std::string& path)
{
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | kFlags, 0600);
    // A folder mounted read-only still locks the file an earlier run left there.
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = ::open(path.c_str(), O_RDONLY | kFlags);
    if (fd < 0)
        return -1;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

LockResult Lock(int fd, std::string& holder)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return LockResult::Held;
    if (errno != EWOULDBLOCK)
        return LockResult::Failed;
    holder = DescribeLockHolder(fd);
    if (holder.empty())
        holder = "another program";
    return LockResult::Busy;
}

LockResult LockDataFolder(int& heldFd, std::string& holder)
{
    const std::string folder = GetDataFolder();
    if (!CreateDirectoryTree(folder))
    {
        Say("cannot make the data folder", folder);
        return LockResult::Failed;
    }
    const std::string path = CSingleInstanceLock::GetDataFolderLockPath();
    int fd = OpenLockFile(path);
    // A read-only folder where no run has left the file yet, or something other than a
    // plain file in its place: the folder itself is locked. Only then, since anyone who may
    // read a folder may also flock it.
    if (fd < 0)
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
    {
        Say("cannot open the instance lock", path);
        return LockResult::Failed;
    }
    const LockResult result = Lock(fd, holder);
    if (result == LockResult::Held)
        heldFd = fd;
    else
        ::close(fd);
    return result;
}
}

std::string CSingleInstanceLock::GetDataFolderLockPath()
{
    return JoinPath(GetDataFolder(), FileName);
}

std::string CSingleInstanceLock::GetSessionLockPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info{};
    if (runtime == nullptr || runtime[0] != '/' || ::stat(runtime, &info) != 0 || !S_ISDIR(info.st_mode))
        return {};
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return {};
    return JoinPath(runtime, FileName);
}

std::string CSingleInstanceLock::GetRefusedLock() const
{
    return m_sessionRefused ? std::string("this session") : "the data folder " + GetDataFolder();
}

CSingleInstanceLock::~CSingleInstanceLock()
{
    Release();
}

bool CSingleInstanceLock::Acquire()
{
    if (m_held)
        return true;
    m_holder.clear();
    m_sessionRefused = false;
    if (LockDataFolder(m_dataFolderFd, m_holder) == LockResult::Busy)
        return false;
    const std::string session = m_scope == Scope::DataFolderAndSession ? GetSessionLockPath() : std::string();
    if (!session.empty())
    {
        const int fd = OpenLockFile(session);
        const LockResult result = fd >= 0 ? Lock(fd, m_holder) : LockResult::Failed;
        if (result == LockResult::Failed)
            Say("cannot take the session lock", session);
        if (result == LockResult::Held)
            m_sessionFd = fd;
        else if (fd >= 0)
            ::close(fd);
        if (result == LockResult::Busy)
        {
            m_sessionRefused = true;
            Release();
            return false;
        }
    }
    m_held = true;
    return true;
}

void CSingleInstanceLock::Release()
{
    // Closing the only descriptor drops its lock.
    for (int* fd : {&m_dataFolderFd, &m_sessionFd})
    {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_held = false;
}
