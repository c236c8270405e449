#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The built program as a child process on the offscreen platform, inside a network namespace
// of its own with only loopback up. With a read-only folder it also gets a mount namespace of
// its own in which that folder is bound read-only, so that even a root test run cannot write
// there while the test itself still can. The pid is the program's (unshare and sh exec into it).
// With a silent host, a firewall rule in that namespace drops echo requests to it, so a
// loopback address (127.0.0.2) becomes a host that never answers.
// The child inherits XDG_DATA_HOME and XDG_RUNTIME_DIR (set them with TempDataFolder first).
class ProgramProcess
{
public:
    // peers: shell commands started in the background inside the namespace before the
    // program, for servers the program's monitors check; each must end by itself.
    explicit ProgramProcess(const std::string& outputPath, const std::string& readOnlyFolder = {},
                            const std::string& silentHost = {}, const std::string& peers = {});
    // Another built program (the service) with its arguments, in the same kind of namespace.
    ProgramProcess(const std::string& outputPath, const std::string& program, const std::vector<std::string>& arguments);
    ~ProgramProcess();   // kills a program still running
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Signal(int signalNumber) const;
    bool IsRunning();
    // The wait status, or -1 when it did not end in time.
    int WaitForExit(int timeoutMs);

    static std::string ProgramPath();
    static std::string ServicePath();   // the service without windows

private:
    void Launch(const std::string& outputPath, const std::string& program, const std::vector<std::string>& arguments,
                const std::string& readOnlyFolder, const std::string& silentHost, const std::string& peers);

    pid_t m_pid = -1;
    int m_status = -1;
};

// A settings document for a whole-program run on `comPort`: no relays and one monitor of
// 127.0.0.1. Laid out with line breaks, unlike what the program writes, so a save shows.
std::string ProgramSettingsText(int comPort, int pollMinutes = 30, bool memoryCheck = false,
                                long long memoryLimit = 26214400);

// Looks every 25 ms until `condition` holds or `timeoutMs` has passed.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);
