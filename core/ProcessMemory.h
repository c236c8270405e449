#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Private memory of this process: RssAnon + VmSwap from /proc/self/status, in bytes.
// File-backed pages of shared libraries do not count. Empty when it cannot be read.
std::optional<std::uint64_t> GetPrivateMemoryBytes();

// How long this program image has run. Measured from when it was loaded, so a restart that
// replaces the process in place (same pid, same kernel start time) starts again from zero.
std::chrono::steady_clock::duration GetProcessRunTime();
