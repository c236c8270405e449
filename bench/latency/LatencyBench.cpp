// Latency of an operator's command: from QueueCommand on an idle link (its worker in the
// listen for unsolicited messages) to the command's first byte on the wire, with the
// program's own link timing, against the simulated unit. A tap between the link and the
// unit timestamps the bytes; it adds microseconds, not milliseconds.
//
// Usage: bench_latency [commands]   (default 200; QM_BINARY_DIR must name the build folder)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "protocol/CommandCodes.h"
#include "link/QMNetLink.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using Clock = std::chrono::steady_clock;
constexpr int kCom = 7;

// The link's end is a pseudo-terminal of our own, reached as COM7; the unit's end is the
// simulated unit's pseudo-terminal. Bytes are copied both ways; the first byte from the
// link after Arm() is timestamped.
class WireTap
{
public:
    bool Open(const std::string& unitPty)
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return false;
        char name[128];
        if (ptsname_r(m_master, name, sizeof name) != 0)
            return false;
        const std::string ports = JoinPath(GetDataFolder(), "ports");
        CreateDirectoryTree(ports);
        const std::string link = JoinPath(ports, "COM" + std::to_string(kCom));
        ::unlink(link.c_str());
        if (::symlink(name, link.c_str()) != 0)
            return false;
        m_unit = ::open(unitPty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (m_unit < 0 || tcgetattr(m_unit, &tio) != 0)
            return false;
        cfmakeraw(&tio);
        tcsetattr(m_unit, TCSANOW, &tio);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    ~WireTap()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : {m_master, m_unit})
            if (fd >= 0)
                ::close(fd);
    }
    void Arm()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_armed = true;
        m_firstByte.reset();
    }
    std::optional<Clock::time_point> FirstByte()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_firstByte;
    }

private:
    void Run()
    {
        unsigned char buffer[512];
        while (!m_stop.load())
        {
            pollfd fds[2] = {{m_master, POLLIN, 0}, {m_unit, POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0)
                continue;
            if ((fds[0].revents & POLLIN) != 0)
            {
                const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                if (n > 0)
                {
                    {
                        std::lock_guard<std::mutex> lock(m_lock);
                        if (m_armed)
                        {
                            m_firstByte = Clock::now();
                            m_armed = false;
                        }
                    }
                    [[maybe_unused]] const ssize_t w = ::write(m_unit, buffer, static_cast<std::size_t>(n));
                }
            }
            if ((fds[1].revents & POLLIN) != 0)
            {
                const ssize_t n = ::read(m_unit, buffer, sizeof buffer);
                if (n > 0)
                    [[maybe_unused]] const ssize_t w = ::write(m_master, buffer, static_cast<std::size_t>(n));
            }
        }
    }

    int m_master = -1;
    int m_unit = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    bool m_armed = false;
    std::optional<Clock::time_point> m_firstByte;
};

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}
}

int main(int argc, char** argv)
{
    const int commands = argc > 1 ? std::atoi(argv[1]) : 200;
    if (commands < 10 || commands > 100000)
    {
        std::fprintf(stderr, "10 to 100000 commands\n");
        return 2;
    }
    TempDataFolder folder;
    DevSimProcess unit({}, 3600);
    if (!unit.Started())
    {
        std::fprintf(stderr, "simulated unit did not start: %s\n", unit.Error().c_str());
        return 1;
    }
    WireTap tap;
    if (!tap.Open(unit.PtyPath()))
    {
        std::fprintf(stderr, "no wire tap\n");
        return 1;
    }

    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    CQMNetLink link;
    link.SetResponseCallback([&](LinkStatus status, int, CSerialCommand* command, const unsigned char*, std::size_t) {
        if (command == nullptr)
            return;
        if (status != LinkStatus::Ok)
            ++failed;
        ++answered;
    });
    link.SetPort(kCom, 19200);
    link.SetTiming(3, 150, 2000);   // the program's own
    if (!link.Start())
        return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<double> latencies;
    int lost = 0;
    for (int i = 0; i < commands; ++i)
    {
        // Past the pause that follows an answer, so the worker is in its idle listen; the
        // odd gap lands some commands near the listen's end, as a click would.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + (i * 37) % 200));
        const int before = answered.load();
        tap.Arm();
        auto command = std::make_unique<CSerialCommand>();
        command->Code = CommandCode::RelayToggle;
        command->Param1 = static_cast<std::uint8_t>(1 + i % 4);
        command->Param2 = static_cast<std::uint8_t>(i % 2);
        const Clock::time_point queued = Clock::now();
        link.QueueCommand(std::move(command));
        const Clock::time_point giveUp = queued + std::chrono::seconds(30);
        while (answered.load() == before && Clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto first = tap.FirstByte();
        if (!first)
        {
            ++lost;
            continue;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(*first - queued).count());
    }
    link.RequestStop();
    link.WaitForStop();

    if (latencies.empty())
    {
        std::printf("no command reached the wire\n");
        return 1;
    }
    std::printf("queue to first byte on the wire, idle link, %zu commands (%d failed, %d never sent):\n",
                latencies.size(), failed.load(), lost);
    std::printf("  p50 %.2f ms   p95 %.2f ms   max %.2f ms\n", Percentile(latencies, 0.5),
                Percentile(latencies, 0.95), *std::max_element(latencies.begin(), latencies.end()));
    const bool met = Percentile(latencies, 0.95) <= 100.0;
    std::printf("p95 within 100 ms: %s\n", met ? "yes" : "no");
    return failed.load() == 0 && lost == 0 ? 0 : 1;
}
