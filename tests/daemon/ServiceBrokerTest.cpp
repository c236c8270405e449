#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/remote/Broker.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
std::string Conf(int port, const std::string& site)
{
    return "enabled = true\nhost = 127.0.0.1\nport = " + std::to_string(port) + "\nsite = " + site + "\n";
}

std::size_t Connections(const Broker& broker, const std::string& clientId)
{
    const std::string log = broker.Log();
    const std::string mark = "as " + clientId + " ";
    std::size_t count = 0;
    for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + mark.size()))
        ++count;
    return count;
}
}

// Runs inside a network namespace of its own (see CMakeLists.txt), with the broker.
TEST(ServiceBroker, AHangupReconnectsTheBridgeOnlyWhenItsFileChanged)
{
    TempDataFolder folder;
    Broker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    const std::string data = folder.Root() + "/state";
    std::filesystem::create_directories(data);
    WriteWholeFile(data + "/settings.xml", ProgramSettingsText(7));
    WriteWholeFile(data + "/mqtt.conf", Conf(broker.Port(), "site-a"));
    DevSimProcess unit({"--com", "7", "--data-folder", data}, 120);
    ASSERT_TRUE(unit.Started()) << unit.Error();
    const char* binary = std::getenv("QM_BINARY_DIR");
    const pid_t service = SpawnProcess(
        {std::string(binary != nullptr ? binary : ".") + "/daemon/quillmere-monitord", "--data-dir", data},
        folder.Root() + "/service.out");
    auto retained = [&](const std::string& topic) {
        const auto lines = broker.Subscribe(topic, 1, 5, true);
        return lines.empty() ? std::string() : lines.back().substr(topic.size() + 1);
    };
    ASSERT_TRUE(WaitUntil([&] { return retained("quillmere/site-a/availability") == "online"; }, 20000))
        << broker.Log();

    // Read again unchanged: the connection stays as it was.
    ::kill(service, SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(data + "/Quillmere.log").find("<ComPort>7</ComPort>") !=
                                       std::string::npos; },
                          10000));
    EXPECT_EQ(Connections(broker, "quillmere-site-a"), 1u) << broker.Log();

    // Another site name: the bridge says offline for the old one and comes back as the new.
    WriteWholeFile(data + "/mqtt.conf", Conf(broker.Port(), "site-b"));
    ::kill(service, SIGHUP);
    EXPECT_TRUE(WaitUntil([&] { return retained("quillmere/site-b/availability") == "online"; }, 20000))
        << broker.Log();
    EXPECT_EQ(retained("quillmere/site-a/availability"), "offline");

    ::kill(service, SIGTERM);
    EXPECT_EQ(WaitForChild(service, 10000), 0) << ReadWholeFile(folder.Root() + "/service.out");
}

TEST(ServiceBroker, AHangupOrAnEndIsNeverHeldByABrokerNameWhoseLookupHangs)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs the private namespaces' root";
    TempDataFolder folder;
    SilentResolver resolver;
    ASSERT_TRUE(resolver.Start(folder.Root())) << resolver.Error();
    const std::string data = folder.Root() + "/state";
    std::filesystem::create_directories(data);
    WriteWholeFile(data + "/settings.xml", ProgramSettingsText(7));
    WriteWholeFile(data + "/mqtt.conf", "enabled = true\nhost = broker-a.quillmere.test\nsite = site-a\n");
    DevSimProcess unit({"--com", "7", "--data-folder", data}, 120);
    ASSERT_TRUE(unit.Started()) << unit.Error();
    const char* binary = std::getenv("QM_BINARY_DIR");
    const pid_t service = SpawnProcess(
        {std::string(binary != nullptr ? binary : ".") + "/daemon/quillmere-monitord", "--data-dir", data},
        folder.Root() + "/service.out");
    ASSERT_EQ(resolver.WaitForQuestion(20000), "broker-a.quillmere.test");

    // Another broker while the lookup of the first hangs: the reload goes through at once, and
    // the new bridge asks for the new name.
    WriteWholeFile(data + "/mqtt.conf", "enabled = true\nhost = broker-b.quillmere.test\nsite = site-a\n");
    ::kill(service, SIGHUP);
    ASSERT_EQ(resolver.WaitForQuestion(5000), "broker-b.quillmere.test");
    const auto start = std::chrono::steady_clock::now();
    ::kill(service, SIGTERM);
    EXPECT_EQ(WaitForChild(service, 10000), 0) << ReadWholeFile(folder.Root() + "/service.out");
    // A lookup that held the end would hold it for its whole budget (5 s) or the resolver's
    // (minutes); an end that is only slow (a sanitizer on a busy machine) takes about a second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}
