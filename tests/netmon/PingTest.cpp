#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <functional>
#include <memory>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <netinet/in.h>

#include "MonitorRecorder.h"
#include "netmon/MonitorRunner.h"
#include "netmon/NetworkMonitor.h"
#include "netmon/Ping.h"

// Only loopback is ever pinged here. Whatever needs a host that stays silent or a name
// that does not resolve runs in a child inside a network namespace of its own, with only
// lo up, so nothing can leave the machine and no outside resolver is asked.

namespace
{
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// What a child reports back; plain data, written once through a pipe.
struct ChildReport
{
    bool Skipped = false;
    char Reason[256] = {};
    int Values[8] = {};
    long Times[4] = {};
};

// Runs a program with arguments (no shell) and returns its exit code, or -1; its standard
// output goes to *output when given.
int RunProgram(const std::vector<std::string>& argv, std::string* output)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool BringLoopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up)
    {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return up;
}

// Every echo request leaving the namespace is counted; requests to 127.0.0.2 are dropped
// on the way in, so that address never answers; of those to 127.0.0.3 every other one,
// starting with the first, is dropped; 127.0.0.4 gets our requests but its replies are lost.
const char* const Ruleset = R"(table ip qmtest {
    counter requests { }
    chain out {
        type filter hook output priority 0; policy accept;
        icmp type echo-request counter name "requests"
        ip saddr 127.0.0.4 icmp type echo-reply drop
    }
    chain in {
        type filter hook input priority 0; policy accept;
        ip daddr 127.0.0.2 icmp type echo-request drop
        ip daddr 127.0.0.3 icmp type echo-request numgen inc mod 2 0 drop
    }
}
)";

bool LoadRuleset(std::string& why)
{
    char path[] = "/tmp/qm-netmon-rules-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
    {
        why = "cannot write the nftables rules";
        return false;
    }
    const ssize_t written = ::write(fd, Ruleset, std::strlen(Ruleset));
    ::close(fd);
    const int code = written > 0 ? RunProgram({"nft", "-f", path}, nullptr) : -1;
    ::unlink(path);
    if (code != 0)
        why = "nft could not load the rules (exit " + std::to_string(code) + ")";
    return code == 0;
}

// Echo requests counted since the rules were loaded, or -1.
int EchoRequestsSent()
{
    std::string text;
    if (RunProgram({"nft", "list", "counter", "ip", "qmtest", "requests"}, &text) != 0)
        return -1;
    const auto at = text.find("packets ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 8);
}

// Forks a child that enters a fresh network namespace, brings lo up, loads the rules and
// runs body; the report comes back through a pipe. The test skips when the namespace
// cannot be made here.
ChildReport RunInPrivateNetwork(const std::function<void(ChildReport&)>& body)
{
    ChildReport report;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    {
        report.Skipped = true;
        std::snprintf(report.Reason, sizeof(report.Reason), "pipe: %s", std::strerror(errno));
        return report;
    }
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::close(pipeFds[0]);
        ChildReport child;
        std::string why;
        if (::unshare(CLONE_NEWNET) != 0)
        {
            child.Skipped = true;
            std::snprintf(child.Reason, sizeof(child.Reason), "unshare(CLONE_NEWNET): %s", std::strerror(errno));
        }
        else if (!BringLoopbackUp())
        {
            child.Skipped = true;
            std::snprintf(child.Reason, sizeof(child.Reason), "cannot bring lo up: %s", std::strerror(errno));
        }
        else if (!LoadRuleset(why))
        {
            child.Skipped = true;
            std::snprintf(child.Reason, sizeof(child.Reason), "%s", why.c_str());
        }
        else
        {
            body(child);
        }
        const ssize_t written = ::write(pipeFds[1], &child, sizeof(child));
        ::_exit(written == static_cast<ssize_t>(sizeof(child)) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    if (pid < 0)
    {
        ::close(pipeFds[0]);
        report.Skipped = true;
        std::snprintf(report.Reason, sizeof(report.Reason), "fork: %s", std::strerror(errno));
        return report;
    }
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<char*>(&report);
    while (got < sizeof(report))
    {
        const ssize_t n = ::read(pipeFds[0], bytes + got, sizeof(report) - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (got != sizeof(report))
    {
        report = ChildReport{};
        report.Values[0] = 999;   // no report at all: the child died
        report.Reason[0] = '!';
    }
    return report;
}

#define RUN_IN_PRIVATE_NETWORK(report, body)                                   \
    const ChildReport report = RunInPrivateNetwork(body);                      \
    if (report.Skipped)                                                        \
        GTEST_SKIP() << report.Reason;                                         \
    ASSERT_NE(report.Reason[0], '!') << "the namespace child gave no report"

const PingTiming ShortTiming{3, 300, 50};
}

TEST(Ping, LoopbackAnswers)
{
    const auto started = Clock::now();
    EXPECT_EQ(Ping("127.0.0.1"), PingAnswered);
    EXPECT_LT(ElapsedMs(started), 2000) << "the first try answers";
}

TEST(Ping, LoopbackByNameAnswers)
{
    // Resolved from the hosts file, never from a resolver.
    EXPECT_EQ(Ping("localhost"), PingAnswered);
}

TEST(Ping, ParallelChecksEachSeeTheirOwnReplies)
{
    // On a raw socket every check sees every reply; each must still find its own.
    std::vector<int> results(6, 99);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&results, i] { results[i] = Ping("127.0.0.1"); });
    for (auto& thread : threads)
        thread.join();
    for (int result : results)
        EXPECT_EQ(result, PingAnswered);
}

TEST(Ping, EmptyHostDoesNotResolve)
{
    EXPECT_EQ(Ping(""), PingNotResolved);
}

TEST(Ping, MonitorOfAnAnsweringHostClearsItsCounters)
{
    CNetworkMonitor monitor;
    monitor.SetTarget("127.0.0.1");
    monitor.SetThreshold(5);
    monitor.SetCurrentResetCount(1);
    EXPECT_TRUE(monitor.Run());
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(monitor.GetFailureCount(), 0);
}

TEST(PingInPrivateNetwork, UnresolvableNameFailsWithoutEchoRequests)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        const auto started = Clock::now();
        r.Values[0] = Ping("quillmere-no-such-host.invalid");
        r.Times[0] = ElapsedMs(started);

        CNetworkMonitor monitor;
        monitor.SetTarget("quillmere-no-such-host.invalid");
        monitor.SetThreshold(5);
        monitor.Run();
        r.Values[1] = monitor.GetFailureCount();
        r.Values[2] = EchoRequestsSent();
    });
    EXPECT_EQ(report.Values[0], PingNotResolved);
    EXPECT_LT(report.Times[0], 6000) << "no echo tries after a failed look-up";
    EXPECT_EQ(report.Values[1], 1) << "counts as one failed ping";
    EXPECT_EQ(report.Values[2], 0) << "not one echo request sent";
}

TEST(PingInPrivateNetwork, DroppedHostGetsThreeTriesAndNoAnswer)
{
    // The only test that pays the full default time of a silent host.
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        const auto started = Clock::now();
        r.Values[0] = Ping("127.0.0.2");
        r.Times[0] = ElapsedMs(started);
        r.Values[1] = EchoRequestsSent();
    });
    EXPECT_EQ(report.Values[0], PingNoAnswer);
    EXPECT_EQ(report.Values[1], 3);
    EXPECT_GE(report.Times[0], 3 * (2000 + 200) - 50);
    EXPECT_LT(report.Times[0], 3 * (2000 + 200) + 1500);
}

TEST(PingInPrivateNetwork, HostAnsweringOnlyTheSecondRequestAnswers)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        const auto started = Clock::now();
        r.Values[0] = Ping("127.0.0.3", ShortTiming);
        r.Times[0] = ElapsedMs(started);
        r.Values[1] = EchoRequestsSent();
    });
    EXPECT_EQ(report.Values[0], PingAnswered);
    EXPECT_EQ(report.Values[1], 2);
    EXPECT_GE(report.Times[0], 300 + 50 - 20) << "the first try waited out its time-out";
}

TEST(PingInPrivateNetwork, OwnRequestSeenOnTheRawSocketIsNoAnswer)
{
    // The raw socket receives our own request to a loopback address; only a reply counts.
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        r.Values[0] = Ping("127.0.0.4", ShortTiming);
        r.Values[1] = EchoRequestsSent();
    });
    EXPECT_EQ(report.Values[0], PingNoAnswer);
    EXPECT_EQ(report.Values[1], 3);
}

TEST(PingInPrivateNetwork, DatagramSocketWorksWhenTheGroupMayUseIt)
{
    // Raw sockets are the fall-back on this machine; here the namespace's own ping group
    // range admits us, so the unprivileged datagram socket is the one taken.
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        const int range = ::open("/proc/sys/net/ipv4/ping_group_range", O_WRONLY | O_CLOEXEC);
        const char value[] = "0 2147483646";
        r.Values[3] = range >= 0 && ::write(range, value, sizeof(value) - 1) > 0 ? 1 : 0;
        if (range >= 0)
            ::close(range);
        const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        r.Values[4] = probe >= 0 ? 1 : 0;
        if (probe >= 0)
            ::close(probe);

        r.Values[0] = Ping("127.0.0.1", ShortTiming);
        r.Values[1] = Ping("127.0.0.2", ShortTiming);
        r.Values[2] = EchoRequestsSent();
    });
    if (report.Values[3] == 0 || report.Values[4] == 0)
        GTEST_SKIP() << "the namespace does not allow datagram ICMP sockets";
    EXPECT_EQ(report.Values[0], PingAnswered);
    EXPECT_EQ(report.Values[1], PingNoAnswer);
    EXPECT_EQ(report.Values[2], 1 + 3);
}

TEST(PingInPrivateNetwork, MonitorOfASilentHostRaisesAtItsThreshold)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        CNetworkMonitor monitor;
        monitor.SetTarget("127.0.0.2");
        monitor.SetThreshold(1);
        monitor.SetPingFunction([](const std::string& host) { return Ping(host, PingTiming{1, 200, 10}); });
        MonitorRecorder recorder;
        monitor.Attach(&recorder);
        monitor.Run();
        monitor.Detach(&recorder);
        r.Values[0] = static_cast<int>(recorder.Errors().size());
        r.Values[1] = monitor.GetCurrentResetCount();
    });
    EXPECT_EQ(report.Values[0], 1);
    EXPECT_EQ(report.Values[1], 1);
}

// ---- a resolver that never answers ----
namespace
{
// Inside the namespace child: the files the resolver reads are replaced, for this mount
// namespace only, by ones naming a local UDP socket that takes queries and answers none.
bool UseSilentResolver(int& socketFd, std::string& why)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    {
        why = std::string("no mount namespace: ") + std::strerror(errno);
        return false;
    }
    char folder[] = "/tmp/qm-resolver-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
    {
        why = "no temporary folder";
        return false;
    }
    const std::string resolv = std::string(folder) + "/resolv.conf";
    const std::string nss = std::string(folder) + "/nsswitch.conf";
    std::FILE* file = std::fopen(resolv.c_str(), "w");
    std::fputs("nameserver 127.0.0.1\noptions timeout:30 attempts:5\n", file != nullptr ? file : stderr);
    if (file != nullptr)
        std::fclose(file);
    file = std::fopen(nss.c_str(), "w");
    std::fputs("hosts: files dns\n", file != nullptr ? file : stderr);
    if (file != nullptr)
        std::fclose(file);
    if (::mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nss.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
    {
        why = std::string("cannot bind the resolver files: ") + std::strerror(errno);
        return false;
    }
    socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socketFd < 0 || ::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        why = std::string("cannot take port 53: ") + std::strerror(errno);
        return false;
    }
    return true;
}

#define WITH_SILENT_RESOLVER(r)                                                         \
    int resolverSocket = -1;                                                            \
    std::string resolverWhy;                                                            \
    if (!UseSilentResolver(resolverSocket, resolverWhy))                                \
    {                                                                                   \
        r.Skipped = true;                                                               \
        std::snprintf(r.Reason, sizeof(r.Reason), "%s", resolverWhy.c_str());           \
        return;                                                                         \
    }

TEST(PingWithSilentResolver, LookupEndsWithinThePingsOwnBudget)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        WITH_SILENT_RESOLVER(r);
        const auto start = Clock::now();
        r.Values[0] = Ping("quillmere-unanswered.example", PingTiming{1, 300, 50});
        r.Times[0] = ElapsedMs(start);
        // The query did reach the silent resolver: the lookup really was waiting for it.
        char buffer[512];
        r.Values[1] = static_cast<int>(::recv(resolverSocket, buffer, sizeof buffer, MSG_DONTWAIT));
    });
    EXPECT_EQ(report.Values[0], PingNotResolved);
    EXPECT_GE(report.Times[0], 300);
    EXPECT_LT(report.Times[0], 1000);
    EXPECT_GT(report.Values[1], 0) << "no query reached the local resolver";
}

TEST(PingWithSilentResolver, AbandonedChecksEndAtOnceSoShutdownDoesNotWait)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        WITH_SILENT_RESOLVER(r);
        auto monitor = std::make_shared<CNetworkMonitor>();
        monitor->SetTarget("quillmere-unanswered.example");
        monitor->SetPingFunction([](const std::string& host) { return Ping(host); });   // a 6.6 s budget
        CMonitorRunner runner;
        runner.Start(monitor);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto start = Clock::now();
        runner.AbandonChecks();
        runner.WaitForAll();
        r.Times[0] = ElapsedMs(start);
        r.Values[0] = monitor->GetFailureCount();
        // A check started afterwards is not cancelled by the earlier abandon.
        monitor->SetPingFunction([](const std::string& host) { return Ping(host); });
        monitor->SetTarget("127.0.0.1");
        runner.Start(monitor);
        runner.WaitForAll();
        r.Values[1] = monitor->GetFailureCount();
    });
    EXPECT_LT(report.Times[0], 500);
    EXPECT_EQ(report.Values[0], 0) << "an abandoned check counts nothing";
    EXPECT_EQ(report.Values[1], 0) << "the next check answered";
}

TEST(PingInPrivateNetwork, CheckAbandonedDuringTheEchoWaitRaisesNothingAndUsesNoReset)
{
    // Threshold 1 on a dropped host: a counted abandon would raise at once and use a reset.
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        auto monitor = std::make_shared<CNetworkMonitor>();
        monitor->SetTarget("127.0.0.2");
        monitor->SetThreshold(1);
        monitor->SetAction(MonitorActionCyclePower);
        monitor->SetAutoResetLimit(3);
        monitor->SetPingFunction([](const std::string& host) { return Ping(host); });
        CMonitorRunner runner;
        runner.Start(monitor);
        // Abandoned once the first echo request is out, in the middle of its 2 s wait.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (EchoRequestsSent() < 1 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = Clock::now();
        runner.AbandonChecks();
        runner.WaitForAll();
        r.Times[0] = ElapsedMs(start);
        r.Values[0] = EchoRequestsSent();
        r.Values[1] = monitor->GetCurrentResetCount();
        r.Values[2] = monitor->GetFailureCount();
    });
    EXPECT_GE(report.Values[0], 1) << "the check never reached its echo wait";
    EXPECT_LT(report.Times[0], 500);
    EXPECT_EQ(report.Values[1], 0) << "a stop used up a reset";
    EXPECT_EQ(report.Values[2], 0);
}
}

namespace
{
// Answers every query on the resolver socket 200 ms after it came, as a slow but healthy
// resolver does: an A query with 127.0.0.1, any other with no address. Runs until stop.
void AnswerSlowly(int socketFd, const std::atomic<bool>& stop, std::atomic<int>& answered)
{
    std::vector<std::tuple<Clock::time_point, sockaddr_in, std::string>> pending;
    while (!stop)
    {
        pollfd p{socketFd, POLLIN, 0};
        unsigned char query[512];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::poll(&p, 1, 10) > 0 ? ::recvfrom(socketFd, query, sizeof query, 0,
                                                              reinterpret_cast<sockaddr*>(&from), &length)
                                                : 0;
        std::size_t end = 12;   // the question's name, then its type and class
        while (end < static_cast<std::size_t>(std::max<ssize_t>(n, 0)) && query[end] != 0)
            end += query[end] + 1u;
        if (n > 12 && end + 5 <= static_cast<std::size_t>(n))
        {
            const bool a = query[end + 1] == 0 && query[end + 2] == 1;
            std::string reply(reinterpret_cast<const char*>(query), end + 5);
            reply.replace(2, 10, std::string("\x81\x80\x00\x01\x00", 5) + (a ? '\x01' : '\x00') + std::string(4, '\0'));
            if (a)
                reply += std::string("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04\x7F\x00\x00\x01", 16);
            pending.emplace_back(Clock::now() + std::chrono::milliseconds(200), from, reply);
        }
        while (!pending.empty() && Clock::now() >= std::get<0>(pending.front()))
        {
            const auto& [due, to, reply] = pending.front();
            ::sendto(socketFd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ++answered;
            pending.erase(pending.begin());
        }
    }
}
}

TEST(PingWithSlowResolver, ThirtyMonitorsByNameWaitForTheirLookupsAndNeverFail)
{
    RUN_IN_PRIVATE_NETWORK(report, [](ChildReport& r) {
        WITH_SILENT_RESOLVER(r);
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::thread resolver([&] { AnswerSlowly(resolverSocket, stop, answered); });
        std::vector<std::shared_ptr<CNetworkMonitor>> monitors;
        for (int i = 0; i < 30; ++i)
        {
            monitors.push_back(std::make_shared<CNetworkMonitor>());
            monitors.back()->SetTarget("camera" + std::to_string(i) + ".site.test");
            monitors.back()->SetThreshold(1);
            monitors.back()->SetAction(MonitorActionDoNothing);
        }
        CMonitorRunner runner;
        const auto start = Clock::now();
        for (int round = 0; round < 3; ++round)
        {
            for (const auto& monitor : monitors)
                runner.Start(monitor);
            runner.WaitForAll();
            for (const auto& monitor : monitors)
                r.Values[0] += monitor->GetLastResult() == "ok" ? 0 : 1;
        }
        r.Times[0] = ElapsedMs(start);
        stop = true;
        resolver.join();
        r.Values[1] = answered.load();
    });
    EXPECT_EQ(report.Values[0], 0) << "checks that failed in 3 rounds of 30";
    EXPECT_GE(report.Values[1], 90) << "the lookups did not go to the slow resolver";
    EXPECT_GE(report.Times[0], 3 * 200);
}
