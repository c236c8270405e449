#include "SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/DataFolder.h"

CSingleInstanceLock::~CSingleInstanceLock()
{
    Release();
}

std::string CSingleInstanceLock::GetLockPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info{};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode))
        return JoinPath(runtime, FileName);
    std::error_code error;
    std::string temp = std::filesystem::temp_directory_path(error).string();
    if (error || temp.empty())
        temp = "/tmp";
    return JoinPath(temp, "QuillmereGlobalMutex-" + std::to_string(::getuid()) + ".lock");
}

bool CSingleInstanceLock::Acquire()
{
    if (IsHeld())
        return true;
    // O_NOFOLLOW: in a shared temporary folder the name could be a planted link.
    const int fd = ::open(GetLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void CSingleInstanceLock::Release()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);   // closing the only descriptor drops the lock
    m_fd = -1;
}
