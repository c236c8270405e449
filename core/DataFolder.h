#pragma once

#include <string>

// The program's data folder: $XDG_DATA_HOME/Velmarquet/Quillmere Monitor, or
// ~/.local/share/... when XDG_DATA_HOME is unset. Returned without a trailing slash;
// not created here (see CreateDirectoryTree).
std::string GetDataFolder();

// Joins a folder and a name with exactly one slash between them.
std::string JoinPath(const std::string& folder, const std::string& name);
