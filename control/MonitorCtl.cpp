// quillmere-monitorctl: a technician's shell client for the control socket of
// quillmere-monitord (or of the window program quillmere-monitor).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "ControlRequest.h"

namespace
{
using Clock = std::chrono::steady_clock;
constexpr const char* kProgram = "quillmere-monitorctl";

const char* const kUsage = "usage: quillmere-monitorctl [--socket PATH] [--wait S] COMMAND [ARGUMENTS]";

const char* const kHelp = R"(usage: quillmere-monitorctl [--socket PATH] [--wait S] COMMAND [ARGUMENTS]

See and command the relay and telemetry unit of Quillmere Monitor from a shell, through the
control socket of the service quillmere-monitord (or of the window program quillmere-monitor).

Commands:
  status [--json]        what the Status page shows: port, whether the unit answers, its
                         clock, SIM, radio, firmware, uptime, GSM, door, signal and relays
  monitors [--json]      each network monitor: name, target, kind, state, failures, resets
                         used of the limit, last result, how often it is checked
  relay N on|off|cycle   switch relay N (1-4) on or off, or power-cycle it, and print the
                         state the unit confirmed
  reset                  reset the unit (at most once every 30 s)
  poll                   ask the unit for its whole status now
  log [-n N] [-f]        the newest N lines of the event log (default 20); -f goes on
                         printing lines as they are written, until Ctrl+C
  reload                 the service reads settings.xml and mqtt.conf again

Options:
  --socket PATH          the socket to use; otherwise the first that exists of
                         /run/quillmere-monitord/control (the system service),
                         $XDG_RUNTIME_DIR/quillmere-monitord/control (a service in your
                         account) and $XDG_RUNTIME_DIR/quillmere-monitor/control (the window
                         program)
  --wait S               how long relay, reset and poll wait for the unit's answer
                         (1-120 s, default 15)
  --json                 status and monitors as one JSON object, for scripts
  --help, --version

Who may use it: root, the account the program runs as, and members of the group quillmere,
which the package makes (add a technician with: adduser NAME quillmere, then log in again).
Members may do everything listed here; the relays' permissions in the settings apply to them
as to the window and the broker, and each order is logged with who gave it ("Relay 3
switched off by local operator NAME").

Exit status:
  0  done (for an order: the unit answered it)
  1  refused (who asks, the relay's permission, too many orders, the link stopped)
  2  usage: the command line or the request was not understood
  3  the program is not running (no socket, or nobody answers on it)
  4  the order went to the unit but it did not answer within the wait
)";

int Usage(const std::string& why)
{
    std::cerr << kProgram << ": " << why << "\n" << kUsage << "\n";
    return ControlExit::kUsage;
}

volatile sig_atomic_t g_interrupted = 0;

struct Options
{
    std::string Socket;
    std::string Request;
    bool PrintsBody = false;   // status, monitors, log: the body is the answer
    bool Follow = false;
    int Wait = CControlRequest::kDefaultWaitSeconds;
    bool WaitGiven = false;
};

// Turns the command line into the one request line; empty Request with an exit status set
// when it is not one.
int ParseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string> words;
    bool json = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (argument == "--help" || argument == "-h")
        {
            std::cout << kHelp;
            return -1;
        }
        if (argument == "--version")
        {
            std::cout << kProgram << " " << QM_VERSION << "\n";
            return -1;
        }
        if (argument == "--socket")
        {
            const char* path = value();
            if (path == nullptr)
                return Usage("--socket needs a path");
            options.Socket = path;
        }
        else if (argument == "--wait")
        {
            const char* seconds = value();
            char* end = nullptr;
            const long number = seconds != nullptr ? std::strtol(seconds, &end, 10) : 0;
            if (seconds == nullptr || *end != '\0' || number < 1 || number > CControlRequest::kMaxWaitSeconds)
                return Usage("--wait needs 1 to " + std::to_string(CControlRequest::kMaxWaitSeconds) + " seconds");
            options.Wait = static_cast<int>(number);
            options.WaitGiven = true;
        }
        else if (argument == "--json")
            json = true;
        else if (argument == "-f")
            options.Follow = true;
        else if (argument == "-n")
        {
            const char* lines = value();
            if (lines == nullptr)
                return Usage("-n needs a line count");
            words.push_back("-n");
            words.push_back(lines);
        }
        else if (argument.size() > 1 && argument[0] == '-')
            return Usage("unknown option '" + argument + "'");
        else
            words.push_back(argument);
    }
    if (words.empty())
        return Usage("no command given");
    const std::string& command = words[0];
    auto only = [&](std::size_t count) { return words.size() == count; };
    if ((command == "status" || command == "monitors") && only(1))
    {
        options.Request = command + (json ? " json" : "");
        options.PrintsBody = true;
    }
    else if (command == "relay" && only(3))
        options.Request = "relay " + words[1] + " " + words[2];
    else if ((command == "reset" || command == "poll") && only(1))
        options.Request = command;
    else if (command == "reload" && only(1))
        options.Request = command;
    else if (command == "log")
    {
        std::string lines = std::to_string(CControlRequest::kDefaultLogLines);
        if (words.size() == 3 && words[1] == "-n")
            lines = words[2];
        else if (!only(1))
            return Usage("log takes -n N and -f");
        options.Request = "log " + lines + (options.Follow ? " follow" : "");
        options.PrintsBody = true;
    }
    else if (command == "relay")
        return Usage("relay takes a relay number (1-4) and on, off or cycle");
    else if (command == "status" || command == "monitors" || command == "reset" || command == "poll" ||
             command == "reload")
        return Usage(command + " takes no arguments");
    else
        return Usage("unknown command '" + command + "'");
    if (json && !options.PrintsBody)
        return Usage("--json is for status and monitors");
    if (options.Follow && command != "log")
        return Usage("-f is for log");
    const bool order = command == "relay" || command == "reset" || command == "poll";
    if (options.WaitGiven && !order)
        return Usage("--wait is for relay, reset and poll");
    if (order && options.WaitGiven)
        options.Request += " wait=" + std::to_string(options.Wait);
    return 0;
}

// Connects to the given socket or the first candidate that exists; the exit status on failure.
int Connect(const Options& options, int& fd, std::string& path)
{
    std::vector<std::string> paths;
    if (!options.Socket.empty())
        paths.push_back(options.Socket);
    else
        for (const std::string& candidate : ControlSocketCandidates())
        {
            struct stat info{};
            if (::lstat(candidate.c_str(), &info) == 0)
            {
                paths.push_back(candidate);
                break;
            }
        }
    if (paths.empty())
    {
        std::cerr << kProgram << ": Quillmere Monitor is not running (no control socket at";
        for (const std::string& candidate : ControlSocketCandidates())
            std::cerr << " " << candidate;
        std::cerr << ")\n";
        return ControlExit::kNotRunning;
    }
    path = paths.front();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return Usage("socket path too long: " + path);
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = errno;
    if (error == EACCES || error == EPERM)
    {
        std::cerr << kProgram << ": refused: " << path << ": " << std::strerror(error)
                  << " (root, the program's account and members of group " << kControlGroup << " may use it)\n";
        return ControlExit::kRefused;
    }
    std::cerr << kProgram << ": Quillmere Monitor is not running (" << path << ": " << std::strerror(error) << ")\n";
    return ControlExit::kNotRunning;
}

int ExitFor(const std::string& word)
{
    if (word == ControlReply::kDone)
        return ControlExit::kDone;
    if (word == ControlReply::kRefused)
        return ControlExit::kRefused;
    if (word == ControlReply::kUsage)
        return ControlExit::kUsage;
    if (word == ControlReply::kNoAnswer)
        return ControlExit::kNoAnswer;
    return ControlExit::kNotRunning;
}
}

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction interrupt{};
    interrupt.sa_handler = [](int) { g_interrupted = 1; };
    ::sigaction(SIGINT, &interrupt, nullptr);
    ::sigaction(SIGTERM, &interrupt, nullptr);

    Options options;
    if (const int status = ParseArguments(argc, argv, options); status != 0)
        return status < 0 ? 0 : status;

    int fd = -1;
    std::string path;
    if (const int status = Connect(options, fd, path); status != 0)
        return status;
    const std::string line = options.Request + "\n";
    // A refused peer is answered and closed at once: its answer is read even when the
    // request could not be written.
    [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);

    // The unit's answer may take the wait; anything else comes at once.
    const bool order = options.Request.rfind("relay", 0) == 0 || options.Request == "reset" ||
                       options.Request.rfind("reset ", 0) == 0 || options.Request.rfind("poll", 0) == 0;
    const auto deadline = Clock::now() + std::chrono::seconds(order ? options.Wait + 5 : 10);
    std::string received;
    bool headerDone = false;
    std::string word;
    std::string message;
    char buffer[4096];
    for (;;)
    {
        if (g_interrupted)
            return options.Follow ? ControlExit::kDone : ControlExit::kNoAnswer;
        int timeout = -1;
        if (!options.Follow || !headerDone)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
            {
                std::cerr << kProgram << ": no answer from " << path << "\n";
                return order ? ControlExit::kNoAnswer : ControlExit::kNotRunning;
            }
            timeout = static_cast<int>(left);
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
        if (!headerDone)
        {
            const auto end = received.find('\n');
            if (end == std::string::npos)
                continue;
            const std::string first = received.substr(0, end);
            received.erase(0, end + 1);
            const auto space = first.find(' ');
            word = first.substr(0, space);
            message = space == std::string::npos ? std::string() : first.substr(space + 1);
            headerDone = true;
        }
        if (options.PrintsBody && word == ControlReply::kDone)
        {
            std::fwrite(received.data(), 1, received.size(), stdout);
            std::fflush(stdout);
            received.clear();
        }
    }
    ::close(fd);
    if (!headerDone)
    {
        std::cerr << kProgram << ": the program closed the connection without an answer\n";
        return ControlExit::kNotRunning;
    }
    const int status = ExitFor(word);
    if (status != ControlExit::kDone)
        std::cerr << kProgram << ": " << (word == ControlReply::kRefused ? "refused: " : "") << message << "\n";
    else if (options.Follow)
    {
        std::cerr << kProgram << ": the program ended\n";
        return ControlExit::kNotRunning;
    }
    else if (!options.PrintsBody)
        std::cout << message << "\n";
    return status;
}
