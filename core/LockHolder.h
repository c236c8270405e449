#pragma once

#include <string>
#include <sys/types.h>

// Who holds the flock on the file open at fd, as "quillmere-monitord, pid 812", found in
// /proc/locks by the file's device and inode. Empty when no other process is found (the
// holder is in another pid namespace, /proc is not mounted, or the lock is already gone).
std::string DescribeLockHolder(int fd);

// The program a process runs, as its command line names it ("quillmere-monitord"); the
// kernel's 15-character name only when the command line cannot be read.
std::string ProcessProgramName(pid_t pid);
