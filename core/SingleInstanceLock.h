#pragma once

#include <string>

// One running program per data folder, and per desktop session: lock files held with flock
// for the whole life of the process. The data folder's lock is the one that keeps two
// programs from writing the same settings and log, whatever their runtime folders; the
// session's lock is taken as well when the session has a private runtime folder. The kernel
// drops both when the process ends, even by a crash, so a file left behind blocks nothing.
// No lock lives in a folder that other users can write, where one could be taken first.
class CSingleInstanceLock
{
public:
    static constexpr const char* FileName = "QuillmereGlobalMutex.lock";

    // The window program takes both locks; the service, which no desktop session owns,
    // takes the data folder's only.
    enum class Scope
    {
        DataFolderAndSession,
        DataFolderOnly,
    };

    explicit CSingleInstanceLock(Scope scope = Scope::DataFolderAndSession) : m_scope(scope) {}
    ~CSingleInstanceLock();
    CSingleInstanceLock(const CSingleInstanceLock&) = delete;
    CSingleInstanceLock& operator=(const CSingleInstanceLock&) = delete;

    // False when another process (or another lock object) holds either lock. A lock that
    // cannot be made for another reason is said on standard error and not waited for: with
    // no folder to write to there is nothing two programs could spoil.
    bool Acquire();
    void Release();
    bool IsHeld() const { return m_held; }
    // After a refused Acquire: who holds the lock ("quillmere-monitord, pid 812"), or
    // "another program" when that cannot be found out.
    const std::string& GetHolder() const { return m_holder; }
    // What was refused, for the message: "the data folder <path>" or "this session".
    std::string GetRefusedLock() const;

    // <data folder>/QuillmereGlobalMutex.lock
    static std::string GetDataFolderLockPath();
    // $XDG_RUNTIME_DIR/QuillmereGlobalMutex.lock, or empty when that folder is not set, not
    // absolute, not this user's or writable by others.
    static std::string GetSessionLockPath();

private:
    Scope m_scope;
    std::string m_holder;
    bool m_sessionRefused = false;
    int m_dataFolderFd = -1;
    int m_sessionFd = -1;
    bool m_held = false;
};
