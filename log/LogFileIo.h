#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Low-level reading and copying of the log file behind a descriptor. CLog calls these with
// its lock held; they are separate so that block boundaries can be exercised directly.

inline constexpr std::size_t kLogReadBlockBytes = 64 * 1024;

// The newest maxLines lines of the file, newest first, without their line breaks. Reads
// backwards from the end in blocks and never reads the first byte, which a log file keeps
// for its leading space. A line ends at LF; a CR right before that LF belongs to the break.
// Empty lines are skipped. A read error ends the scan with the lines complete so far.
std::vector<std::string> ReadNewestLinesOfFile(int fd, std::size_t maxLines,
                                               std::size_t blockBytes = kLogReadBlockBytes);

// Copies the whole file behind source (from its start, whatever its offset) to target,
// turning each CR LF into LF and leaving every other byte alone. False on a read or write
// error; the target then holds a partial copy.
bool CopyWithLfLineEnds(int source, int target, std::size_t chunkBytes = kLogReadBlockBytes);

// Writes every byte or fails; retries after interrupted or partial writes.
bool WriteAll(int fd, const char* data, std::size_t size);
