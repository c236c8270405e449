#include "LinkTestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "protocol/SerialCommand.h"
#include "link/QMNetLink.h"

extern char** environ;

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since).count();
}

std::string ToHexText(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes)
    {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes FromHexText(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// ---- PtyPeer ----

PtyPeer::PtyPeer(int comNumber)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("ptsname failed");
    m_slavePath = name;
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    const std::string ports = JoinPath(GetDataFolder(), "ports");
    CreateDirectoryTree(ports);
    m_linkPath = JoinPath(ports, "COM" + std::to_string(comNumber));
    ::unlink(m_linkPath.c_str());
    if (::symlink(m_slavePath.c_str(), m_linkPath.c_str()) != 0)
        throw std::runtime_error("symlink failed");
}

void PtyPeer::HangUp()
{
    // The link is pointed at nothing first: a pseudo-terminal number is handed out again at
    // once, and a link left on it could lead the port to another test's terminal.
    const std::string moved = m_linkPath + ".gone";
    ::unlink(moved.c_str());
    if (::symlink("/nonexistent/unplugged-adapter", moved.c_str()) == 0)
        ::rename(moved.c_str(), m_linkPath.c_str());
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

PtyPeer::~PtyPeer()
{
    ::unlink(m_linkPath.c_str());
    if (m_master >= 0)
        ::close(m_master);
}

Bytes PtyPeer::Read(std::size_t count, int timeoutMs)
{
    Bytes bytes;
    const auto start = std::chrono::steady_clock::now();
    while (bytes.size() < count)
    {
        unsigned char buffer[512];
        const std::size_t want = std::min(sizeof buffer, count - bytes.size());
        const ssize_t n = ::read(m_master, buffer, want);
        if (n > 0)
        {
            bytes.insert(bytes.end(), buffer, buffer + n);
            continue;
        }
        const std::int64_t left = timeoutMs - ElapsedMs(start);
        if (left <= 0)
            break;
        // EIO while nobody holds the slave: wait a little rather than spin.
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(std::min<std::int64_t>(left, 10))) > 0 &&
            (pfd.revents & POLLIN) == 0)
            ::usleep(2000);
    }
    return bytes;
}

Bytes PtyPeer::ReadUntilQuiet(int quietMs, int totalMs)
{
    Bytes bytes;
    const auto start = std::chrono::steady_clock::now();
    while (ElapsedMs(start) < totalMs)
    {
        Bytes more = Read(4096, quietMs);
        if (more.empty())
            break;
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    return bytes;
}

void PtyPeer::Write(const Bytes& bytes)
{
    std::size_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    while (done < bytes.size() && ElapsedMs(start) < 2000)
    {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            ::usleep(1000);
    }
}

// ---- ScriptedPort ----

LinkStatus ScriptedPort::Write(const unsigned char* bytes, int count)
{
    if (failWrites > 0)
    {
        --failWrites;
        writes.emplace_back();
        return LinkStatus::WriteFailed;
    }
    writes.emplace_back(bytes, bytes + count);
    written.insert(written.end(), bytes, bytes + count);
    return LinkStatus::Ok;
}

LinkStatus ScriptedPort::ReadByte(unsigned char* byte)
{
    ++reads;
    if (m_input.empty())
        return readFailure ? LinkStatus::ReadFailed : LinkStatus::Timeout;
    *byte = m_input.front();
    m_input.pop_front();
    return LinkStatus::Ok;
}

// ---- CallbackLog ----

void CallbackLog::AttachTo(CQMNetLink& link)
{
    link.SetTraceCallback([this](const char* text) { OnTrace(text); });
    link.SetResponseCallback([this](LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload,
                                    std::size_t length) { OnResponse(status, code, command, payload, length); });
    link.SetThreadExitCallback([this] { OnThreadExit(); });
    link.SetProgressCallback([this](int done, int total) { OnProgress(done, total); });
}

void CallbackLog::Reset()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_traces.clear();
    m_responses.clear();
    m_progress.clear();
    m_threadExits = 0;
}

void CallbackLog::OnTrace(const char* text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_traces.emplace_back(text);
}

void CallbackLog::OnResponse(LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload,
                             std::size_t length)
{
    ResponseEvent event{status, code, command != nullptr ? command->Code : -1, payload != nullptr, {}, length};
    if (payload != nullptr)
        event.payload.assign(payload, payload + 20);
    std::lock_guard<std::mutex> lock(m_lock);
    m_responses.push_back(event);
}

void CallbackLog::OnThreadExit()
{
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_threadExits;
}

void CallbackLog::OnProgress(int done, int total)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_progress.emplace_back(done, total);
}

std::vector<std::string> CallbackLog::Traces()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_traces;
}

std::vector<ResponseEvent> CallbackLog::Responses()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_responses;
}

std::vector<std::pair<int, int>> CallbackLog::Progress()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_progress;
}

int CallbackLog::ThreadExits()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_threadExits;
}

bool CallbackLog::WaitForResponses(std::size_t count, int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    while (ElapsedMs(start) < timeoutMs)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_responses.size() >= count)
                return true;
        }
        ::usleep(2000);
    }
    return false;
}

bool CallbackLog::WaitForThreadExit(int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    while (ElapsedMs(start) < timeoutMs)
    {
        if (ThreadExits() > 0)
            return true;
        ::usleep(2000);
    }
    return false;
}

// ---- RxRelay ----

RxRelay::RxRelay(int masterFd, const std::string& outputPath, int timeoutMs)
    : m_master(masterFd)
{
    // rx may end while bytes are still on their way to it.
    std::signal(SIGPIPE, SIG_IGN);
    int toRx[2];
    int fromRx[2];
    if (::pipe2(toRx, O_CLOEXEC) != 0 || ::pipe2(fromRx, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toRx[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromRx[1], 1);
    // rx refuses absolute paths (its restricted mode): run it in the output's folder.
    const std::size_t slash = outputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : outputPath.substr(0, slash);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const std::string log = outputPath + ".rx.log";
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Checksum mode (no -c): rx asks with NAK, as the device does.
    std::string out = slash == std::string::npos ? outputPath : outputPath.substr(slash + 1);
    char arg0[] = "rx";
    char arg1[] = "--xmodem";
    char arg2[] = "--binary";
    char arg3[] = "-y";
    char arg4[] = "-vv";
    char* argv[] = {arg0, arg1, arg2, arg3, arg4, out.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "rx", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toRx[0]);
    ::close(fromRx[1]);
    m_toRx = toRx[1];
    m_fromRx = fromRx[0];
    if (rc != 0)
        throw std::runtime_error("cannot start rx");
    m_pid = pid;
    m_thread = std::thread([this, timeoutMs] { Relay(timeoutMs); });
}

RxRelay::~RxRelay()
{
    Wait();
    if (m_toRx >= 0)
        ::close(m_toRx);
    if (m_fromRx >= 0)
        ::close(m_fromRx);
}

int RxRelay::Wait()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_exitStatus.load();
}

void RxRelay::Relay(int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    bool rxOpen = true;
    while (ElapsedMs(start) < timeoutMs)
    {
        int status = 0;
        if (rxOpen && ::waitpid(m_pid, &status, WNOHANG) == m_pid)
        {
            rxOpen = false;
            m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        pollfd pfds[2] = {{m_master, POLLIN, 0}, {m_fromRx, POLLIN, 0}};
        ::poll(pfds, 2, 5);
        unsigned char buffer[1024];
        // From rx towards the sender: everything, including what rx said before it ended.
        if ((pfds[1].revents & (POLLIN | POLLHUP)) != 0)
        {
            const ssize_t n = ::read(m_fromRx, buffer, sizeof buffer);
            if (n > 0)
            {
                std::size_t done = 0;
                while (done < static_cast<std::size_t>(n))
                {
                    const ssize_t w = ::write(m_master, buffer + done, static_cast<std::size_t>(n) - done);
                    if (w > 0)
                        done += static_cast<std::size_t>(w);
                    else
                        ::usleep(500);
                }
                continue;
            }
            if (!rxOpen)
                return;   // rx has ended and everything it wrote is passed on
        }
        if (rxOpen && (pfds[0].revents & POLLIN) != 0)
        {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0)
            {
                m_toReceiver += static_cast<std::size_t>(n);
                [[maybe_unused]] ssize_t w = ::write(m_toRx, buffer, static_cast<std::size_t>(n));
            }
        }
        else if (!rxOpen && (pfds[1].revents & (POLLIN | POLLHUP)) == 0)
        {
            return;
        }
        if ((pfds[0].revents & (POLLHUP | POLLERR)) != 0 && (pfds[0].revents & POLLIN) == 0)
            ::usleep(1000);   // the sender has not opened its side yet
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_exitStatus = -1;
}
