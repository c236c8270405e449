#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

// Replaces the file at path with content so that a crash or a power cut at any moment
// leaves either the old file or the new one: the bytes go to a temporary file in the same
// folder, are flushed to disk and renamed over the old file, then the folder is flushed.
// On failure the old file is untouched and no temporary file is left behind. The temporary
// file of a save cut short by a crash is removed by the next save; no other file ever is.
// error, when given, receives the system's reason for a failure.
bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error = nullptr);

// Reads a whole regular file of at most maxBytes: the one reader of every file read at start
// or reload. Anything else (missing, a folder, a FIFO that would block, a device, a larger
// file, a read error) fails without waiting, with the reason in *error when asked; *info
// gets the file's own status (its mode, for a secret) on success.
bool ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& content,
                     std::string* error = nullptr, struct stat* info = nullptr);

// The name prefix of WriteFileAtomically's temporary files for path.
std::string TemporaryFilePrefix(const std::string& path);
