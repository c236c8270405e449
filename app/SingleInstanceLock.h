#pragma once

#include <string>

// One running program per user session: a lock file held with flock for the whole life of
// the process. The kernel drops the lock when the process ends, even by a crash, so a file
// left behind never blocks the next start.
class CSingleInstanceLock
{
public:
    static constexpr const char* FileName = "QuillmereGlobalMutex.lock";

    CSingleInstanceLock() = default;
    ~CSingleInstanceLock();
    CSingleInstanceLock(const CSingleInstanceLock&) = delete;
    CSingleInstanceLock& operator=(const CSingleInstanceLock&) = delete;

    // False when another process (or another lock object) holds it, or it cannot be made.
    bool Acquire();
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

    // $XDG_RUNTIME_DIR/QuillmereGlobalMutex.lock; without a usable runtime folder, the
    // system's temporary folder with the user id in the name.
    static std::string GetLockPath();

private:
    int m_fd = -1;
};
