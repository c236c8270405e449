#include "ProgramProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

std::string ProgramSettingsText(int comPort, int pollMinutes, bool memoryCheck, long long memoryLimit)
{
    std::ostringstream text;
    text << "<Settings>\n<ComPort>" << comPort << "</ComPort>\n"
         << "<StatusPollIntervalInMinutes>" << pollMinutes << "</StatusPollIntervalInMinutes>\n"
         << "<LogLevel>Events &amp; Errors</LogLevel>\n"
         << "<EnableMemoryCheck>" << (memoryCheck ? 1 : 0) << "</EnableMemoryCheck>\n"
         << "<MaxMemorySizeInBytes>" << memoryLimit << "</MaxMemorySizeInBytes>\n"
         << "<Relays></Relays>\n"
         << "<NetworkMonitors><NetworkMonitor><EventName>Loopback</EventName><Target>127.0.0.1</Target>"
            "<PollIntervalInMinutes>30</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold>"
            "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
            "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>"
            "</NetworkMonitors>\n</Settings>\n";
    return text.str();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return true;
}

std::string ProgramProcess::ProgramPath()
{
    const char* binary = std::getenv("QM_BINARY_DIR");
    return std::string(binary != nullptr ? binary : ".") + "/app/quillmere-monitor";
}

std::string ProgramProcess::ServicePath()
{
    const char* binary = std::getenv("QM_BINARY_DIR");
    return std::string(binary != nullptr ? binary : ".") + "/daemon/quillmere-monitord";
}

ProgramProcess::ProgramProcess(const std::string& outputPath, const std::string& readOnlyFolder,
                               const std::string& silentHost, const std::string& peers)
{
    Launch(outputPath, ProgramPath(), {}, readOnlyFolder, silentHost, peers);
}

ProgramProcess::ProgramProcess(const std::string& outputPath, const std::string& program,
                               const std::vector<std::string>& arguments)
{
    Launch(outputPath, program, arguments, {}, {}, {});
}

void ProgramProcess::Launch(const std::string& outputPath, const std::string& program,
                            const std::vector<std::string>& arguments, const std::string& readOnlyFolder,
                            const std::string& silentHost, const std::string& peers)
{
    m_pid = ::fork();
    if (m_pid != 0)
        return;
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0)
    {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bool root = ::geteuid() == 0;
    // $0 the program, $1 the read-only folder, $2 the silent host ("-" for none), then the
    // program's own arguments.
    std::string script = "ip link set lo up";
    if (!silentHost.empty())
        script += " && nft add table ip quillmere"
                  " && nft add chain ip quillmere out '{ type filter hook output priority 0 ; }'"
                  " && nft add rule ip quillmere out ip daddr \"$2\" icmp type echo-request drop";
    if (!readOnlyFolder.empty())
        script += " && mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\"";
    if (!peers.empty())
        script += " && { " + peers + " ; }";
    script += " && p=\"$0\" && shift 2 && exec \"$p\" \"$@\"";
    // A user namespace as well when not root, so that an ordinary user may make the others.
    const char* flags = readOnlyFolder.empty() ? (root ? "-n" : "-rn") : (root ? "-nm" : "-rnm");
    const std::string folder = readOnlyFolder.empty() ? "-" : readOnlyFolder;
    const std::string host = silentHost.empty() ? "-" : silentHost;
    std::vector<const char*> argv{"unshare", flags, "--", "sh", "-c", script.c_str(), program.c_str(), folder.c_str(),
                                  host.c_str()};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    ::execvp("unshare", const_cast<char* const*>(argv.data()));
    ::_exit(127);
}

ProgramProcess::~ProgramProcess()
{
    if (IsRunning())
    {
        Signal(SIGKILL);
        WaitForExit(5000);
    }
}

bool ProgramProcess::Signal(int signalNumber) const
{
    return m_pid > 0 && ::kill(m_pid, signalNumber) == 0;
}

bool ProgramProcess::IsRunning()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == 0)
        return true;
    if (done == m_pid)
        m_status = status;
    m_pid = -1;
    return false;
}

int ProgramProcess::WaitForExit(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsRunning())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_status;
}
