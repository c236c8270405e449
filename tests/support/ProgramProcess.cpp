#include "ProgramProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

std::string ProgramProcess::ProgramPath()
{
    const char* binary = std::getenv("QM_BINARY_DIR");
    return std::string(binary != nullptr ? binary : ".") + "/app/quillmere-monitor";
}

ProgramProcess::ProgramProcess(const std::string& outputPath, const std::string& readOnlyFolder)
{
    const std::string program = ProgramPath();
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
    if (readOnlyFolder.empty())
    {
        // A user namespace as well when not root, so that an ordinary user may make the network one.
        ::execlp("unshare", "unshare", root ? "-n" : "-rn", "--", "sh", "-c", "ip link set lo up && exec \"$0\"",
                 program.c_str(), static_cast<char*>(nullptr));
    }
    else
    {
        ::execlp("unshare", "unshare", root ? "-nm" : "-rnm", "--", "sh", "-c",
                 "ip link set lo up && mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$0\"",
                 program.c_str(), readOnlyFolder.c_str(), static_cast<char*>(nullptr));
    }
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
