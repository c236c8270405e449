#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Figures both fleet runs take of their processes.

// RssAnon + VmSwap in KiB, as the program's own watchdog counts it.
inline std::uint64_t PrivateKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::uint64_t total = 0;
    for (std::string line; std::getline(status, line);)
    {
        if (line.starts_with("RssAnon:") || line.starts_with("VmSwap:"))
            total += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
    return total;
}

inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}
