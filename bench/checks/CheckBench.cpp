// Processor time of one check of each kind against peers on loopback, median of 100. Run it
// inside a private network namespace (check-bench.sh does); an HTTPS peer is taken from the
// command line ("https://127.0.0.1:PORT/" of a server whose certificate fails or passes alike).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "netmon/NetworkCheck.h"

namespace
{
double ThreadCpuMicroseconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Answers every connection with an empty 200.
class CServer
{
public:
    CServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 64);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            char buffer[4096];
            while (!m_stop)
            {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0)
                    continue;
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 100) > 0 && ::recv(c, buffer, sizeof buffer, 0) > 0)
                    [[maybe_unused]] const ssize_t s = ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                ::close(c);
            }
        });
    }
    ~CServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void Measure(const char* label, const std::string& text)
{
    const CheckTarget target = ParseCheckTarget(text);
    std::vector<double> times;
    int failures = 0;
    std::string reason;
    for (int i = 0; i < 100; ++i)
    {
        const double start = ThreadCpuMicroseconds();
        const CheckOutcome outcome = RunCheck(target, PingTiming{});
        times.push_back(ThreadCpuMicroseconds() - start);
        if (!outcome.Succeeded)
        {
            ++failures;
            reason = outcome.Reason;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("%-6s %-32s median %8.1f us  p90 %8.1f us  failed %d/100%s%s\n", label, text.c_str(), times[50],
                times[90], failures, reason.empty() ? "" : ": ", reason.c_str());
}
}

int main(int argc, char** argv)
{
    CServer server;
    const std::string port = std::to_string(server.Port());
    Measure("ping", "127.0.0.1");
    Measure("tcp", "tcp://127.0.0.1:" + port);
    Measure("http", "http://127.0.0.1:" + port + "/");
    if (argc > 1)
        Measure("https", argv[1]);
    return 0;
}
