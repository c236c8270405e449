// The service fleet run (see service-fleet-bench.sh, which puts it in a private network
// namespace): N services, each with its own simulated unit, against one broker or two
// regional brokers bridged to a central one. The operator is a client of the central broker.
#include <mosquitto.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FleetFigures.h"
#include "core/DirectoryTree.h"
#include "tests/remote/Broker.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using Clock = std::chrono::steady_clock;

struct Site
{
    std::string folder;
    std::unique_ptr<DevSimProcess> unit;
    pid_t service = -1;
};

// utime + stime in clock ticks.
std::uint64_t CpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i <= text.size(); ++i)
    {
        if (i == text.size() || text[i] == ' ')
        {
            fields.push_back(field);
            field.clear();
        }
        else
            field += text[i];
    }
    // After the name: state is field 0, utime field 11, stime field 12.
    return fields.size() > 12 ? std::stoull(fields[11]) + std::stoull(fields[12]) : 0;
}

int FreePort()
{
    static int next = 20000 + static_cast<int>(::getpid() % 20000);
    return next++;
}

// A mosquitto broker of our own making: plain, or a regional one bridged to a central one.
pid_t StartBroker(const std::string& folder, int port, int centralPort, const std::string& name)
{
    CreateDirectoryTree(folder);
    std::string config = "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                         "max_queued_messages 100000\n";
    if (::geteuid() == 0)
        config = "user root\n" + config;
    if (centralPort != 0)
        config += "connection " + name + "\naddress 127.0.0.1:" + std::to_string(centralPort) +
                  "\ntopic quillmere/# both 0\ncleansession true\nremote_clientid " + name + "\n";
    WriteWholeFile(folder + "/broker.conf", config);
    return SpawnProcess({"mosquitto", "-c", folder + "/broker.conf"}, folder + "/broker.out");
}

// The operator at the central broker: counts the sites it hears "online" from.
struct Operator
{
    mosquitto* client = nullptr;
    std::mutex mutex;
    std::set<std::string> online;

    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message)
    {
        auto* op = static_cast<Operator*>(self);
        const std::string payload(static_cast<const char*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen));
        std::lock_guard<std::mutex> guard(op->mutex);
        if (payload == "online")
            op->online.insert(message->topic);
        else
            op->online.erase(message->topic);
    }
    std::size_t Online()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return online.size();
    }
};

std::size_t CountLines(const std::string& path, std::streamoff& offset, Clock::time_point* firstAt)
{
    std::ifstream in(path);
    in.seekg(offset);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);)
    {
        if (in.eof())
            break;   // a line still being written
        offset += static_cast<std::streamoff>(line.size() + 1);
        if (line.starts_with("RX 02 09 "))
        {
            if (count++ == 0 && firstAt != nullptr)
                *firstAt = Clock::now();
        }
    }
    return count;
}
}

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int commands = argc > 2 ? std::atoi(argv[2]) : 1000;
    const bool bridged = argc > 3 && std::string(argv[3]) == "bridged";
    const char* binary = std::getenv("QM_BINARY_DIR");
    const std::string service = std::string(binary != nullptr ? binary : ".") + "/daemon/quillmere-monitord";
    TempDataFolder scratch;

    const int central = FreePort();
    std::vector<pid_t> brokers{StartBroker(scratch.Root() + "/central", central, 0, "central")};
    std::vector<int> regional{central};
    if (bridged)
    {
        regional = {FreePort(), FreePort()};
        for (int r = 0; r < 2; ++r)
            brokers.push_back(StartBroker(scratch.Root() + "/region-" + std::to_string(r), regional[r], central,
                                          "region-" + std::to_string(r)));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    mosquitto_lib_init();
    Operator op;
    op.client = mosquitto_new("fleet-operator", true, &op);
    mosquitto_message_callback_set(op.client, &Operator::OnMessage);
    if (mosquitto_connect(op.client, "127.0.0.1", central, 60) != MOSQ_ERR_SUCCESS)
    {
        std::fprintf(stderr, "operator cannot reach the central broker\n");
        return 1;
    }
    mosquitto_subscribe(op.client, nullptr, "quillmere/+/availability", 1);
    mosquitto_loop_start(op.client);

    std::vector<Site> sites(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
    {
        Site& site = sites[static_cast<std::size_t>(i)];
        site.folder = scratch.Root() + "/site-" + std::to_string(i);
        CreateDirectoryTree(site.folder + "/ports");
        WriteWholeFile(site.folder + "/settings.xml",
                       "<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>"
                       "<EnableMemoryCheck>0</EnableMemoryCheck><NetworkMonitors/></Settings>\n");
        WriteWholeFile(site.folder + "/mqtt.conf",
                       "enabled = true\nhost = 127.0.0.1\nport = " +
                           std::to_string(regional[static_cast<std::size_t>(i) % regional.size()]) +
                           "\nsite = fleet-" + std::to_string(i) + "\ncommands = true\n");
        site.unit = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--data-folder", site.folder, "--com", "7"}, 3600);
        if (!site.unit->Started())
        {
            std::fprintf(stderr, "unit %d: %s\n", i, site.unit->Error().c_str());
            return 1;
        }
    }

    const auto startAt = Clock::now();
    for (Site& site : sites)
        site.service = SpawnProcess({service, "--data-dir", site.folder}, site.folder + "/service.out");
    const bool allOnline = WaitUntil([&] { return op.Online() >= static_cast<std::size_t>(count); }, 600000);
    const double onlineSeconds = std::chrono::duration<double>(Clock::now() - startAt).count();
    std::printf("%s: %d services, %s\n", bridged ? "two regional brokers bridged to a central one" : "one broker",
                count, bridged ? "half on each region" : "all on it");
    std::printf("all online at the operator's broker: %s, %zu of %d after %.1f s from the first start\n",
                allOnline ? "yes" : "NO", op.Online(), count, onlineSeconds);

    // Every first poll done before anything is measured.
    for (Site& site : sites)
        site.unit->WaitForReceivedFrames(10, 120000);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::vector<std::uint64_t> memory;
    for (const Site& site : sites)
        memory.push_back(PrivateKiB(site.service));
    double mean = 0;
    for (auto kib : memory)
        mean += static_cast<double>(kib) / static_cast<double>(memory.size());
    std::printf("private memory per service (RssAnon+VmSwap): mean %.0f KiB, max %llu KiB\n", mean,
                static_cast<unsigned long long>(*std::max_element(memory.begin(), memory.end())));

    constexpr int kIdleSeconds = 30;
    std::uint64_t ticksBefore = 0;
    for (const Site& site : sites)
        ticksBefore += CpuTicks(site.service);
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    std::uint64_t ticksAfter = 0;
    for (const Site& site : sites)
        ticksAfter += CpuTicks(site.service);
    const double cpuPercent = 100.0 * static_cast<double>(ticksAfter - ticksBefore) /
                              static_cast<double>(::sysconf(_SC_CLK_TCK)) / kIdleSeconds;
    std::printf("idle CPU of all %d services together over %d s: %.2f %% of one core\n", count, kIdleSeconds,
                cpuPercent);

    // Commands from the operator, one at a time, spread over the sites: publish -> relay frame
    // (code 9) in the unit's transcript.
    std::vector<std::streamoff> offsets(sites.size(), 0);
    for (std::size_t i = 0; i < sites.size(); ++i)
        CountLines(sites[i].unit->TranscriptPath(), offsets[i], nullptr);
    std::vector<double> latencies;
    int lost = 0;
    for (int k = 0; k < commands; ++k)
    {
        const std::size_t i = static_cast<std::size_t>(k) % sites.size();
        const std::string topic = "quillmere/fleet-" + std::to_string(i) + "/relay/3/set";
        const char* payload = (k / static_cast<int>(sites.size())) % 2 == 0 ? "OFF" : "ON";
        const auto sentAt = Clock::now();
        mosquitto_publish(op.client, nullptr, topic.c_str(), static_cast<int>(std::strlen(payload)), payload, 1, false);
        Clock::time_point seenAt;
        bool seen = false;
        while (Clock::now() - sentAt < std::chrono::seconds(5))
        {
            if (CountLines(sites[i].unit->TranscriptPath(), offsets[i], &seenAt) > 0)
            {
                seen = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (seen)
            latencies.push_back(std::chrono::duration<double, std::milli>(seenAt - sentAt).count());
        else
            ++lost;
    }
    std::printf("operator command -> frame at the unit, %d commands over %d sites: p50 %.1f ms, p95 %.1f ms, "
                "max %.1f ms, %d not seen within 5 s (goal p95 <= 100 ms)\n",
                commands, count, Percentile(latencies, 0.5), Percentile(latencies, 0.95),
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()), lost);

    for (Site& site : sites)
        ::kill(site.service, SIGTERM);
    int unclean = 0;
    for (Site& site : sites)
    {
        const int status = WaitForChild(site.service, 20000);
        unclean += (status == 0) ? 0 : 1;
        site.unit->Stop();
    }
    std::printf("services that did not end cleanly at SIGTERM: %d\n", unclean);
    mosquitto_loop_stop(op.client, true);
    mosquitto_destroy(op.client);
    mosquitto_lib_cleanup();
    for (pid_t broker : brokers)
    {
        ::kill(broker, SIGTERM);
        WaitForChild(broker, 5000);
    }
    return 0;
}
