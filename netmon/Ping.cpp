#include "Ping.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

namespace
{
// The payload every echo request carries; the replies echo it back.
constexpr std::array<unsigned char, 4> EchoData = {0x49, 0x64, 0x00, 0x00};
constexpr std::size_t IcmpHeaderSize = 8;
constexpr std::size_t ReceiveBufferSize = 2048;

class CSocketHandle
{
public:
    explicit CSocketHandle(int fd) : m_fd(fd) {}
    ~CSocketHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CSocketHandle(const CSocketHandle&) = delete;
    CSocketHandle& operator=(const CSocketHandle&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

thread_local std::shared_ptr<CStopSignal> t_cancellation;

int CancelDescriptor()
{
    return t_cancellation ? t_cancellation->GetDescriptor() : -1;
}

bool Cancelled()
{
    return t_cancellation && t_cancellation->IsRequested();
}

// Waits for fd to become readable, the thread's cancellation or the time, whichever comes
// first: 1 readable, 0 time up, -1 cancelled or failed.
int WaitFor(int fd, short events, int timeoutMs)
{
    pollfd fds[2] = {{fd, events, 0}, {CancelDescriptor(), POLLIN, 0}};
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    const int ready = ::poll(fd >= 0 ? fds : fds + 1, fd >= 0 ? count : count - 1, timeoutMs);
    if (Cancelled())
        return -1;
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return fd >= 0 && (fds[0].revents & (events | POLLERR | POLLHUP)) != 0 ? 1 : 0;
}

int WaitReadable(int fd, int timeoutMs)
{
    return WaitFor(fd, POLLIN, timeoutMs);
}

bool ResolveNow(const std::string& host, sockaddr_in& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;   // one entry per address instead of one per socket type
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr)
        return false;
    bool found = false;
    if (results->ai_family == AF_INET && results->ai_addrlen >= sizeof(sockaddr_in))
    {
        std::memcpy(&address, results->ai_addr, sizeof(sockaddr_in));
        found = true;
    }
    ::freeaddrinfo(results);
    return found;
}

// A lookup on a helper thread, so that the check can stop waiting for a resolver that never
// answers. The helper keeps the state alive and ends when the lookup does, however late.
struct Lookup
{
    Lookup() : done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookup()
    {
        if (done >= 0)
            ::close(done);
    }
    const int done;
    std::mutex lock;
    bool finished = false;    // the helper has its answer
    bool abandoned = false;   // the check stopped waiting for it
    bool found = false;
    sockaddr_in address{};
};

// Lookups that outlived their check's budget and still run: only a resolver that never
// answers leaves them behind, each on a thread of its own. Past this many a new lookup waits,
// within its own budget, for one of them to end; lookups a check still waits for are not
// counted, so any number of checks may look names up at once.
constexpr int kMaxAbandonedLookups = 16;
std::mutex g_abandonedLock;
std::condition_variable g_abandonedEnded;
int g_abandoned = 0;   // guarded by g_abandonedLock

using SteadyClock = std::chrono::steady_clock;

// Waits for a place among the abandoned lookups; false at the deadline or the cancellation.
bool AwaitLookupTurn(SteadyClock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(g_abandonedLock);
    while (g_abandoned >= kMaxAbandonedLookups)
    {
        if (Cancelled() || SteadyClock::now() >= deadline)
            return false;
        // Slices, so that a stop is seen without another wake-up source.
        g_abandonedEnded.wait_until(guard, std::min(deadline, SteadyClock::now() + std::chrono::milliseconds(100)));
    }
    return true;
}

void LookupAbandonedEnded()
{
    {
        std::lock_guard<std::mutex> guard(g_abandonedLock);
        --g_abandoned;
    }
    g_abandonedEnded.notify_one();
}

bool Resolve(const std::string& host, sockaddr_in& address, int budgetMs)
{
    // A dotted address needs no resolver.
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1)
    {
        address.sin_family = AF_INET;
        return true;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(budgetMs);
    auto lookup = std::make_shared<Lookup>();
    if (lookup->done < 0 || !AwaitLookupTurn(deadline))
        return false;
    std::thread helper;
    try
    {
        helper = std::thread([lookup, host] {
            sockaddr_in found{};
            const bool ok = ResolveNow(host, found);
            bool abandoned = false;
            {
                std::lock_guard<std::mutex> guard(lookup->lock);
                lookup->found = ok;
                lookup->address = found;
                lookup->finished = true;
                abandoned = lookup->abandoned;
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(lookup->done, &one, sizeof one);
            if (abandoned)
                LookupAbandonedEnded();
        });
    }
    catch (const std::system_error&)
    {
        return false;
    }
    for (;;)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0 || WaitReadable(lookup->done, static_cast<int>(left)) != 0)
            break;
    }
    // A lookup that answered is joined, so no thread outlives the check; one that did not is
    // left to finish by itself and counted until it does.
    {
        std::lock_guard<std::mutex> guard(lookup->lock);
        if (!lookup->finished)
        {
            lookup->abandoned = true;
            std::lock_guard<std::mutex> count(g_abandonedLock);
            ++g_abandoned;
        }
    }
    if (lookup->abandoned)
    {
        helper.detach();
        return false;
    }
    helper.join();
    address = lookup->address;
    return lookup->found;
}

std::uint16_t Checksum(const unsigned char* data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2 != 0)
        sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::uint16_t ReadBigEndian16(const unsigned char* data)
{
    return static_cast<std::uint16_t>(data[0] << 8 | data[1]);
}

void WriteBigEndian16(unsigned char* data, std::uint16_t value)
{
    data[0] = static_cast<unsigned char>(value >> 8);
    data[1] = static_cast<unsigned char>(value & 0xFF);
}

// A raw socket sees every ICMP message of the machine, so each check needs its own
// identifier; a datagram ICMP socket gets one from the kernel, which also filters for it.
std::uint16_t NextIdentifier()
{
    static std::atomic<std::uint16_t> counter{0};
    return static_cast<std::uint16_t>((static_cast<unsigned>(::getpid()) << 4) ^ counter.fetch_add(1));
}

struct EchoRequest
{
    bool Raw;
    std::uint16_t Identifier;
    std::uint16_t Sequence;
};

bool IsOurReply(const unsigned char* packet, std::size_t size, const EchoRequest& request)
{
    if (request.Raw)
    {
        // Raw sockets deliver the IP header too.
        if (size < 20)
            return false;
        const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        if (headerSize < 20 || size < headerSize)
            return false;
        packet += headerSize;
        size -= headerSize;
    }
    if (size < IcmpHeaderSize + EchoData.size())
        return false;
    // Our own request looped back on a raw socket has type 8 and is not an answer.
    if (packet[0] != ICMP_ECHOREPLY || packet[1] != 0)
        return false;
    if (request.Raw && ReadBigEndian16(packet + 4) != request.Identifier)
        return false;
    // A late answer to an earlier try of this check still shows the host is up.
    const std::uint16_t sequence = ReadBigEndian16(packet + 6);
    if (sequence == 0 || sequence > request.Sequence)
        return false;
    return std::memcmp(packet + IcmpHeaderSize, EchoData.data(), EchoData.size()) == 0;
}

bool SendEcho(int fd, const sockaddr_in& address, const EchoRequest& request)
{
    std::array<unsigned char, IcmpHeaderSize + EchoData.size()> packet{};
    packet[0] = ICMP_ECHO;
    packet[1] = 0;
    WriteBigEndian16(&packet[4], request.Identifier);
    WriteBigEndian16(&packet[6], request.Sequence);
    std::memcpy(&packet[IcmpHeaderSize], EchoData.data(), EchoData.size());
    WriteBigEndian16(&packet[2], Checksum(packet.data(), packet.size()));

    ssize_t sent;
    do
        sent = ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                        sizeof(address));
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(packet.size());
}

bool AwaitReply(int fd, const EchoRequest& request, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::array<unsigned char, ReceiveBufferSize> buffer{};
    for (;;)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        const int ready = WaitReadable(fd, static_cast<int>(left));
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        // Drains everything queued; an ICMP error reported on the socket just ends this read.
        for (;;)
        {
            const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (received < 0)
                break;
            if (IsOurReply(buffer.data(), static_cast<std::size_t>(received), request))
                return true;
        }
    }
}
}

void SetThreadPingCancellation(std::shared_ptr<CStopSignal> cancellation)
{
    t_cancellation = std::move(cancellation);
}

int Ping(const std::string& host)
{
    return Ping(host, PingTiming{});
}

int Ping(const std::string& host, const PingTiming& timing)
{
    if (Cancelled())
        return PingStopped;
    sockaddr_in address{};
    const int budgetMs = timing.Tries * (timing.ReplyTimeoutMs + timing.PauseAfterFailureMs);
    if (!Resolve(host, address, budgetMs))
        return Cancelled() ? PingStopped : PingNotResolved;

    bool raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
    {
        // Refused unless ping_group_range admits our group; a raw socket works with
        // CAP_NET_RAW instead.
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0)
        return PingNoSocket;
    const CSocketHandle socket(fd);

    const std::uint16_t identifier = NextIdentifier();
    for (int attempt = 0; attempt < timing.Tries; ++attempt)
    {
        const EchoRequest request{raw, identifier, static_cast<std::uint16_t>(attempt + 1)};
        if (SendEcho(socket.Get(), address, request) && AwaitReply(socket.Get(), request, timing.ReplyTimeoutMs))
            return PingAnswered;
        if (Cancelled() || WaitReadable(-1, timing.PauseAfterFailureMs) < 0)
            return Cancelled() ? PingStopped : PingNoAnswer;
    }
    return Cancelled() ? PingStopped : PingNoAnswer;
}

bool IsCheckCancelled()
{
    return Cancelled();
}

int CheckCancelDescriptor()
{
    return CancelDescriptor();
}

int WaitForDescriptor(int fd, short events, int timeoutMs)
{
    return WaitFor(fd, events, timeoutMs);
}

bool ResolveIPv4(const std::string& host, sockaddr_in& address, int budgetMs)
{
    return Resolve(host, address, budgetMs);
}
