#pragma once

#include <string>

// The program's data folder: $XDG_DATA_HOME/Velmarquet/Quillmere Monitor, or
// ~/.local/share/... when XDG_DATA_HOME is unset. Returned without a trailing slash;
// not created here (see CreateDirectoryTree).
std::string GetDataFolder();

// From now on GetDataFolder returns folder instead (an empty text goes back to the XDG
// folder). For a program that is told its folder on its command line or by its service
// manager; set once at start, before any thread runs.
void SetDataFolder(const std::string& folder);

// Joins a folder and a name with exactly one slash between them.
std::string JoinPath(const std::string& folder, const std::string& name);
