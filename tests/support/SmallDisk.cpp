#include "SmallDisk.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

bool EnterPrivateMountNamespace()
{
    if (::geteuid() != 0)
    {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    else if (::unshare(CLONE_NEWNS) != 0)
        return false;
    // Otherwise a mount made here could spread back to the machine's namespace.
    return ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool MountSmallDisk(const std::string& folder, std::size_t bytes)
{
    const std::string options = "size=" + std::to_string(bytes);
    return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

void FillUp(const std::string& path)
{
    std::ofstream filler(path, std::ios::binary);
    const std::string block(4096, 'z');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
        ;
    filler.close();
    // The last page may still take single bytes.
    std::ofstream last(path, std::ios::binary | std::ios::app);
    while (last.put('z') && last.flush())
        ;
}
