#include "ProcessMemory.h"

#include <fstream>
#include <sstream>
#include <string>

namespace
{
// Set while the program's statics are made, before main runs.
const std::chrono::steady_clock::time_point g_loadedAt = std::chrono::steady_clock::now();
}

std::optional<std::uint64_t> GetPrivateMemoryBytes()
{
    std::ifstream status("/proc/self/status");
    if (!status)
        return std::nullopt;
    std::uint64_t totalKiB = 0;
    bool sawAnon = false;
    std::string line;
    while (std::getline(status, line))
    {
        const bool anon = line.rfind("RssAnon:", 0) == 0;
        const bool swap = line.rfind("VmSwap:", 0) == 0;
        if (!anon && !swap)
            continue;
        std::istringstream fields(line.substr(line.find(':') + 1));
        std::uint64_t kib = 0;
        if (!(fields >> kib))
            return std::nullopt;
        totalKiB += kib;
        sawAnon = sawAnon || anon;
    }
    if (!sawAnon)
        return std::nullopt;
    return totalKiB * 1024;
}

std::chrono::steady_clock::duration GetProcessRunTime()
{
    return std::chrono::steady_clock::now() - g_loadedAt;
}
