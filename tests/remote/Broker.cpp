#include "Broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/LoopbackPeer.h"

namespace
{
bool Accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outputPath)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0)
    {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

int WaitChild(pid_t pid, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (std::chrono::steady_clock::now() > deadline)
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string TempFolder()
{
    char pattern[] = "/tmp/qm-broker-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made != nullptr ? made : "";
}
}

pid_t SpawnProcess(const std::vector<std::string>& args, const std::string& outputPath)
{
    return Spawn(args, outputPath);
}

int WaitForChild(pid_t pid, int timeoutMs)
{
    return WaitChild(pid, timeoutMs);
}

int RunCommand(const std::vector<std::string>& args, std::string* output, int timeoutMs)
{
    char pattern[] = "/tmp/qm-run-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0)
        ::close(fd);
    const pid_t pid = Spawn(args, pattern);
    const int status = WaitChild(pid, timeoutMs);
    if (output != nullptr)
        *output = ReadFile(pattern);
    ::unlink(pattern);
    return status;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

Broker::Broker(Options options) : m_options(std::move(options)), m_folder(TempFolder()), m_port(FreeLoopbackPort())
{
    std::ofstream config(m_folder + "/broker.conf");
    // Root keeps root: the broker would otherwise drop to its own user and not read the files here.
    config << "user root\nlog_dest file " << m_folder << "/broker.log\n"
           << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\nlog_type subscribe\n";
    if (m_options.persistence)
        config << "persistence true\npersistence_location " << m_folder << "/\n";
    else
        config << "persistence false\n";
    config
           << "listener " << m_port << " 127.0.0.1\n";
    if (m_options.user.empty())
        config << "allow_anonymous true\n";
    else
    {
        config << "allow_anonymous false\npassword_file " << m_folder << "/passwd\n";
        config.flush();
        RunCommand({"mosquitto_passwd", "-b", "-c", m_folder + "/passwd", m_options.user, m_options.password},
                   nullptr, 10000);
    }
    if (!m_options.acl.empty())
    {
        std::ofstream(m_folder + "/acl") << m_options.acl;
        config << "acl_file " << m_folder << "/acl\n";
    }
    if (m_options.tls)
    {
        if (!MakeCertificates())
            m_error = "openssl could not make the certificates";
        config << "cafile " << CaFile() << "\ncertfile " << m_folder << "/server.crt\nkeyfile " << m_folder
               << "/server.key\n";
    }
}

Broker::~Broker()
{
    Stop();
    if (!m_folder.empty())
        RunCommand({"rm", "-rf", m_folder}, nullptr, 10000);
}

bool Broker::MakeCertificates()
{
    const std::string f = m_folder + "/";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA",
         "-keyout", f + "ca.key", "-out", f + "ca.crt"},
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Other CA",
         "-keyout", f + "other-ca.key", "-out", f + "other-ca.crt"},
        {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", f + "server.key",
         "-out", f + "server.csr"},
        {"sh", "-c", "printf 'subjectAltName=IP:127.0.0.1\\n' > '" + f + "san.ext'"},
        {"openssl", "x509", "-req", "-in", f + "server.csr", "-CA", f + "ca.crt", "-CAkey", f + "ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", f + "san.ext", "-out", f + "server.crt"},
    };
    for (const auto& step : steps)
    {
        std::string output;
        if (RunCommand(step, &output, 60000) != 0)
        {
            m_error = output;
            return false;
        }
    }
    return true;
}

bool Broker::Start()
{
    if (m_port == 0 || !m_error.empty())
        return false;
    // Debian installs the broker in /usr/sbin, which an ordinary user's PATH may lack.
    const std::string program = ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
    m_pid = Spawn({program, "-c", m_folder + "/broker.conf"}, m_folder + "/broker.out");
    if (WaitUntil([this] { return Accepts(m_port); }, 10000))
        return true;
    m_error = "the broker did not listen: " + ReadFile(m_folder + "/broker.out") + ReadFile(m_folder + "/broker.log");
    Stop();
    return false;
}

void Broker::Stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    WaitChild(m_pid, 5000);
    m_pid = -1;
}

std::vector<std::string> Broker::ClientArgs() const
{
    std::vector<std::string> args = {"-h", "127.0.0.1", "-p", std::to_string(m_port)};
    if (m_options.tls)
        args.insert(args.end(), {"--cafile", CaFile()});
    if (!m_options.user.empty())
        args.insert(args.end(), {"-u", m_options.user, "-P", m_options.password});
    return args;
}

std::vector<std::string> Broker::Subscribe(const std::string& topic, int count, int seconds, bool retainedOnly) const
{
    std::vector<std::string> args = {"mosquitto_sub", "-v", "-t", topic, "-C", std::to_string(count), "-W",
                                     std::to_string(seconds)};
    if (retainedOnly)
        args.push_back("--retained-only");
    const std::vector<std::string> client = ClientArgs();
    args.insert(args.end(), client.begin(), client.end());
    std::string output;
    RunCommand(args, &output, (seconds + 5) * 1000);
    return SplitLines(output);
}

bool Broker::Publish(const std::string& topic, const std::string& payload, bool retain) const
{
    std::vector<std::string> args = {"mosquitto_pub", "-t", topic, "-m", payload, "-q", "1"};
    if (retain)
        args.push_back("-r");
    const std::vector<std::string> client = ClientArgs();
    args.insert(args.end(), client.begin(), client.end());
    return RunCommand(args, nullptr, 10000) == 0;
}

bool Broker::WaitForSubscription(const std::string& clientId, const std::string& topic, int timeoutMs) const
{
    const std::string entry = " " + clientId + " ";
    return WaitUntil(
        [&] {
            for (const std::string& line : SplitLines(Log()))
                if (line.find(entry) != std::string::npos && line.size() >= topic.size() &&
                    line.compare(line.size() - topic.size(), topic.size(), topic) == 0)
                    return true;
            return false;
        },
        timeoutMs);
}

std::string Broker::Log() const
{
    return ReadFile(m_folder + "/broker.log");
}

Listener::Listener(const Broker& broker, const std::string& topic, int count, int seconds,
                   const std::string& persistentId)
{
    static int listeners = 0;
    char pattern[] = "/tmp/qm-listen-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0)
        ::close(fd);
    m_output = pattern;
    const std::string id = persistentId.empty() ? "listener-" + std::to_string(++listeners) : persistentId;
    std::vector<std::string> args = {"mosquitto_sub", "-v", "-R", "-t", topic, "-C", std::to_string(count),
                                     "-W", std::to_string(seconds), "-i", id, "-q", "1"};
    if (!persistentId.empty())
        args.push_back("-c");
    const std::vector<std::string> client = broker.ClientArgs();
    args.insert(args.end(), client.begin(), client.end());
    m_pid = Spawn(args, m_output);
    broker.WaitForSubscription(id, topic);
}

Listener::~Listener()
{
    if (m_pid > 0)
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_output.c_str());
}

std::vector<std::string> Listener::Lines()
{
    if (m_pid > 0)
    {
        WaitChild(m_pid, 120000);
        m_pid = -1;
    }
    return SplitLines(ReadFile(m_output));
}

SilentResolver::~SilentResolver()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

bool SilentResolver::Start(const std::string& folder)
{
    const auto failed = [this](const char* step) {
        m_error = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0)
        return failed("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return failed("bind 127.0.0.1:53");
    const std::string conf = folder + "/resolv.conf";
    std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:30 attempts:3\n";
    if (::unshare(CLONE_NEWNS) != 0)
        return failed("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("mount / private");
    if (::mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        return failed("bind-mount /etc/resolv.conf");
    return true;
}

std::string SilentResolver::WaitForQuestion(int timeoutMs)
{
    pollfd ready{m_socket, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) != 1)
        return {};
    unsigned char packet[512];
    const ssize_t size = ::recv(m_socket, packet, sizeof packet, 0);
    // After the 12-byte header, the name as labels: a length byte, then that many bytes.
    std::string name;
    for (ssize_t at = 12; at < size && packet[at] != 0 && at + 1 + packet[at] <= size; at += 1 + packet[at])
        name += (name.empty() ? "" : ".") + std::string(reinterpret_cast<const char*>(packet + at + 1), packet[at]);
    return name.empty() ? "?" : name;
}
