#pragma once

#include <cstddef>
#include <string>

// A full disk without touching the machine's own: a small tmpfs mounted in a mount namespace
// of the calling process's own (with a user namespace as well when not root). Children
// started afterwards see the same mount; nothing outside the process ever does.

// Moves the calling process into a private mount namespace; false when the system refuses.
bool EnterPrivateMountNamespace();
// Mounts a tmpfs of the given size over folder; false on failure.
bool MountSmallDisk(const std::string& folder, std::size_t bytes);
// Writes a file at path until the file system holding it takes no more byte.
void FillUp(const std::string& path);
