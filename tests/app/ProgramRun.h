#pragma once

#include <sys/types.h>

#include <string>

// The built program as a child process on the offscreen platform, inside a network
// namespace of its own with only loopback up, so that no ping can leave the machine. The
// child inherits XDG_DATA_HOME and XDG_RUNTIME_DIR (set them with TempDataFolder first).
// Its pid is the program's own (unshare and sh exec into it), so signals reach it.
class ProgramRun
{
public:
    explicit ProgramRun(const std::string& outputPath);
    ~ProgramRun();   // kills a program still running
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Signal(int signalNumber) const;
    bool IsRunning();
    // The wait status, or -1 when it did not end in time.
    int WaitForExit(int timeoutMs);

    static std::string ProgramPath();

private:
    pid_t m_pid = -1;
    int m_status = -1;
};
