#pragma once

#include <string>

// True when every folder of path exists afterwards; creates the missing ones from the
// top down. Shared by the log and the settings file.
bool CreateDirectoryTree(const std::string& path);

// True when path names an existing folder (a link to a folder counts).
bool DirectoryExists(const std::string& path);
