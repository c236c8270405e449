#include "DevSimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace
{
using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

template <typename Predicate>
bool WaitUntil(int timeoutMs, Predicate done)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done())
    {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
}  // namespace

std::string DevSimProcess::BinaryPath()
{
    if (const char* dir = std::getenv("QM_BINARY_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/tools/quillmere-devsim";
    // The build names the program's place too, for a test run without the variable.
    return QM_DEVSIM_PATH;
}

DevSimProcess::DevSimProcess(std::vector<std::string> extraArgs, double maxSeconds)
{
    // A write to a unit that has just died must fail, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);

    std::string pattern = (std::filesystem::temp_directory_path() / "qm-devsim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        m_error = "mkdtemp failed";
        return;
    }
    m_folder = pattern;

    std::vector<std::string> args{BinaryPath(), "--transcript", TranscriptPath(), "--firmware-out", FirmwarePath(),
                                  "--max-seconds", std::to_string(maxSeconds)};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
    {
        m_error = "pipe failed";
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0)
    {
        ::close(in[0]);
        ::close(in[1]);
        m_error = "pipe failed";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    m_toChild = in[1];
    m_fromChild = out[0];
    if (rc != 0)
    {
        m_pid = -1;
        m_error = "cannot start " + args[0] + ": " + std::strerror(rc);
        return;
    }

    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (std::string line; !m_ready;)
    {
        line = ReadLine(MillisecondsLeft(deadline));
        if (line.empty())
        {
            m_error = "no READY from " + args[0];
            return;
        }
        if (line.rfind("PTY ", 0) == 0)
            m_ptyPath = line.substr(4);
        else if (line.rfind("LINK ", 0) == 0)
            m_linkPath = line.substr(5);
        else if (line == "READY")
            m_ready = true;
    }
}

DevSimProcess::~DevSimProcess()
{
    Stop();
    if (m_toChild >= 0)
        ::close(m_toChild);
    if (m_fromChild >= 0)
        ::close(m_fromChild);
    if (!m_folder.empty())
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

std::string DevSimProcess::Control(const std::string& line, int timeoutMs)
{
    if (m_toChild < 0)
        return {};
    const std::string text = line + "\n";
    if (::write(m_toChild, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return {};
    std::string answer = ReadLine(timeoutMs);
    if (answer.rfind("OK PTY ", 0) == 0)
        m_ptyPath = answer.substr(7);
    return answer;
}

bool DevSimProcess::Command(const std::string& line, int timeoutMs)
{
    return Control(line, timeoutMs).rfind("OK", 0) == 0;
}

std::string DevSimProcess::ReadLine(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos)
        {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        if (m_fromChild < 0)
            return {};
        pollfd p{m_fromChild, POLLIN, 0};
        const int left = MillisecondsLeft(deadline);
        if (poll(&p, 1, left) <= 0)
            return {};
        char chunk[512];
        const ssize_t n = ::read(m_fromChild, chunk, sizeof chunk);
        if (n <= 0)
        {
            ::close(m_fromChild);
            m_fromChild = -1;
            return {};
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> DevSimProcess::TranscriptLines() const
{
    std::ifstream in(TranscriptPath(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    // A line still being written has no line break yet; it is left for the next call.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::vector<std::string> DevSimProcess::Lines(const char* prefix) const
{
    std::vector<std::string> result;
    const std::size_t length = std::strlen(prefix);
    for (const std::string& line : TranscriptLines())
        if (line.compare(0, length, prefix) == 0)
            result.push_back(line.substr(length));
    return result;
}

std::vector<std::string> DevSimProcess::ReceivedFrames() const
{
    return Lines("RX ");
}

std::vector<std::string> DevSimProcess::SentFrames() const
{
    return Lines("TX ");
}

bool DevSimProcess::WaitForReceivedFrames(std::size_t count, int timeoutMs) const
{
    return WaitUntil(timeoutMs, [&] { return ReceivedFrames().size() >= count; });
}

bool DevSimProcess::WaitForSentFrames(std::size_t count, int timeoutMs) const
{
    return WaitUntil(timeoutMs, [&] { return SentFrames().size() >= count; });
}

bool DevSimProcess::WaitForTranscriptLine(const std::string& text, int timeoutMs) const
{
    return WaitUntil(timeoutMs, [&] {
        for (const std::string& line : TranscriptLines())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    });
}

void DevSimProcess::CloseInput()
{
    if (m_toChild >= 0)
        ::close(m_toChild);
    m_toChild = -1;
}

int DevSimProcess::WaitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid)
        {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR)
        {
            m_pid = -1;
            return -1;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int DevSimProcess::Stop(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    if (m_toChild >= 0)
    {
        const char quit[] = "quit\n";
        [[maybe_unused]] const ssize_t n = ::write(m_toChild, quit, sizeof quit - 1);
    }
    int status = WaitForExit(timeoutMs);
    if (m_pid > 0)
    {
        kill(m_pid, SIGTERM);
        status = WaitForExit(1000);
    }
    if (m_pid > 0)
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        status = -1;
    }
    return status;
}
