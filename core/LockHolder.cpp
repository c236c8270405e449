#include "LockHolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace
{
std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line, '\0');
    return line;
}

std::string LastPathPart(std::string text)
{
    if (const auto slash = text.rfind('/'); slash != std::string::npos)
        text.erase(0, slash + 1);
    return text;
}

// "fe:00:10952881": the device in hexadecimal major and minor, then the inode.
bool SameFile(const std::string& field, const struct stat& info)
{
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(field.c_str(), "%x:%x:%llu%c", &major, &minor, &inode, &end) != 3)
        return false;
    return major == ::major(info.st_dev) && minor == ::minor(info.st_dev) &&
           inode == static_cast<unsigned long long>(info.st_ino);
}
}

std::string ProcessProgramName(pid_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    std::string name = LastPathPart(FirstLine(base + "/cmdline"));
    if (name.empty())
    {
        name = FirstLine(base + "/comm");
        if (const auto end = name.find('\n'); end != std::string::npos)
            name.erase(end);
    }
    return name;
}

std::string DescribeLockHolder(int fd)
{
    struct stat info{};
    if (fd < 0 || ::fstat(fd, &info) != 0)
        return {};
    std::ifstream locks("/proc/locks");
    // "1: FLOCK  ADVISORY  WRITE 812 fe:00:10952881 0 EOF"; a waiting lock has "->" after
    // the number and is not a holder.
    for (std::string line; std::getline(locks, line);)
    {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long long pid = 0;
        if (!(fields >> number >> kind) || kind == "->" || kind != "FLOCK")
            continue;
        if (!(fields >> mode >> access >> pid >> file) || pid <= 0 || !SameFile(file, info))
            continue;
        const std::string name = ProcessProgramName(static_cast<pid_t>(pid));
        return (name.empty() ? std::string("a program") : name) + ", pid " + std::to_string(pid);
    }
    return {};
}
