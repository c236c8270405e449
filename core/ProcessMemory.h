#pragma once

#include <cstdint>
#include <optional>

// Private memory of this process: RssAnon + VmSwap from /proc/self/status, in bytes.
// File-backed pages of shared libraries do not count. Empty when it cannot be read.
std::optional<std::uint64_t> GetPrivateMemoryBytes();
