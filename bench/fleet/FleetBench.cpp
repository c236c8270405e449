// The fleet run (see fleet-bench.sh, which puts it in a private network namespace).
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FleetFigures.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "tests/remote/Broker.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
std::int64_t RealtimeNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Site
{
    std::string root;      // XDG_DATA_HOME and XDG_RUNTIME_DIR of this instance
    std::string data;      // its data folder
    std::unique_ptr<DevSimProcess> unit;
    pid_t program = -1;
};

void StartProgram(Site& site)
{
    ::setenv("XDG_DATA_HOME", site.root.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", site.root.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const char* binary = std::getenv("QM_BINARY_DIR");
    site.program = SpawnProcess({std::string(binary != nullptr ? binary : ".") + "/app/quillmere-monitor"},
                                site.root + "/program.out");
}

void StopProgram(Site& site)
{
    if (site.program <= 0)
        return;
    ::kill(site.program, SIGTERM);
    WaitForChild(site.program, 20000);
    site.program = -1;
}

std::vector<std::uint64_t> SettledMemory(std::vector<Site>& sites)
{
    std::this_thread::sleep_for(std::chrono::seconds(8));
    std::vector<std::uint64_t> kib;
    for (Site& site : sites)
        kib.push_back(PrivateKiB(site.program));
    return kib;
}

double Mean(const std::vector<std::uint64_t>& values)
{
    double sum = 0;
    for (auto v : values)
        sum += static_cast<double>(v);
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}
}

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 20;
    // Each unit changes its relay 3 rate times a second for seconds seconds.
    const int seconds = std::clamp(argc > 2 ? std::atoi(argv[2]) : 20, 1, 600);
    const int rate = std::clamp(argc > 3 ? std::atoi(argv[3]) : 10, 1, 50);
    const int changes = seconds * rate;
    TempDataFolder scratch;   // removed with everything in it at the end
    Broker broker;
    if (!broker.Start())
    {
        std::fprintf(stderr, "broker: %s\n", broker.Error().c_str());
        return 1;
    }

    std::vector<Site> sites(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
    {
        Site& site = sites[static_cast<std::size_t>(i)];
        site.root = scratch.Root() + "/site-" + std::to_string(i);
        site.data = site.root + "/Velmarquet/Quillmere Monitor";
        CreateDirectoryTree(site.data + "/ports");
        WriteWholeFile(site.data + "/settings.xml",
                       "<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>"
                       "<EnableMemoryCheck>0</EnableMemoryCheck><NetworkMonitors/></Settings>\n");
        WriteWholeFile(site.data + "/mqtt.conf", "enabled = true\nhost = 127.0.0.1\nport = " +
                                                     std::to_string(broker.Port()) + "\nsite = fleet-" +
                                                     std::to_string(i) + "\n");
        site.unit = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--data-folder", site.data, "--com", "7"}, 3600);
        if (!site.unit->Started())
        {
            std::fprintf(stderr, "unit %d: %s\n", i, site.unit->Error().c_str());
            return 1;
        }
        StartProgram(site);
    }

    const auto startWait = std::chrono::steady_clock::now();
    std::vector<std::string> statuses;
    WaitUntil(
        [&] {
            statuses = broker.Subscribe("quillmere/+/status", count, 5, true);
            return static_cast<int>(statuses.size()) >= count;
        },
        120000);
    std::printf("retained statuses seen by a subscriber: %zu of %d (after %.1f s)\n", statuses.size(), count,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - startWait).count());
    // Let every instance finish its first poll before the relays are changed under it.
    for (Site& site : sites)
        site.unit->WaitForSentFrames(10, 60000);

    // Each change of a relay by a unit, from the control line to the broker's message.
    char pattern[] = "/tmp/qm-fleet-sub-XXXXXX";
    const int fd = ::mkstemp(pattern);
    ::close(fd);
    std::vector<std::string> subArgs = {"mosquitto_sub", "-R", "-t", "quillmere/+/relay/3/state", "-F", "%U %t %p",
                                        "-C", std::to_string(count * changes), "-W", std::to_string(seconds + 120),
                                        "-i", "fleet-timer"};
    const auto client = broker.ClientArgs();
    subArgs.insert(subArgs.end(), client.begin(), client.end());
    const pid_t sub = SpawnProcess(subArgs, pattern);
    broker.WaitForSubscription("fleet-timer", "quillmere/+/relay/3/state");

    // The units' changes are spread evenly over each period, one unit after the other, on a
    // fixed schedule: a change that is late does not push the ones after it back.
    std::map<std::string, std::vector<std::int64_t>> sent;   // topic -> send times in order
    const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
    const auto slot = period / count;
    const auto begin = std::chrono::steady_clock::now();
    for (int change = 0; change < changes; ++change)
    {
        for (int i = 0; i < count; ++i)
        {
            std::this_thread::sleep_until(begin + change * period + i * slot);
            const std::string topic = "quillmere/fleet-" + std::to_string(i) + "/relay/3/state";
            sent[topic].push_back(RealtimeNs());
            sites[static_cast<std::size_t>(i)].unit->Control(std::string("inject relay 3 ") +
                                                            (change % 2 == 0 ? "off" : "on") + " button");
        }
    }
    const double sendSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    WaitForChild(sub, (seconds + 130) * 1000);
    std::ifstream received(pattern);
    std::map<std::string, std::size_t> seen;
    std::vector<double> latencies;
    for (std::string line; std::getline(received, line);)
    {
        std::istringstream fields(line);
        double at = 0;
        std::string topic;
        if (!(fields >> at >> topic))
            continue;
        const std::size_t n = seen[topic]++;
        if (n < sent[topic].size())
            latencies.push_back((at * 1e9 - static_cast<double>(sent[topic][n])) / 1e6);
    }
    ::unlink(pattern);
    std::printf("unit change -> broker message (%d units, %d changes a second each, %.1f s): %zu of %d changes seen, "
                "p50 %.1f ms, p95 %.1f ms, max %.1f ms (goal p95 <= 100 ms)\n",
                count, rate, sendSeconds, latencies.size(), count * changes, Percentile(latencies, 0.5),
                Percentile(latencies, 0.95),
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));

    const auto withBridge = SettledMemory(sites);
    for (Site& site : sites)
    {
        StopProgram(site);
        WriteWholeFile(site.data + "/mqtt.conf", "enabled = false\n");
        StartProgram(site);
    }
    for (Site& site : sites)
        site.unit->WaitForSentFrames(20, 60000);
    const auto withoutBridge = SettledMemory(sites);
    const double on = Mean(withBridge), off = Mean(withoutBridge);
    std::printf("private memory per instance (RssAnon+VmSwap, mean of %d): bridge on %.0f KiB, off %.0f KiB, "
                "difference %+.0f KiB (goal <= +1024 KiB)\n",
                count, on, off, on - off);
    for (Site& site : sites)
    {
        StopProgram(site);
        site.unit->Stop();
    }
    return 0;
}
