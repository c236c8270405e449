#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>

#include "Broker.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

// The whole program with an mqtt.conf, its simulated unit and a broker. The suite already runs
// in a network namespace of its own, so the program is started directly in it.
namespace
{
constexpr const char* kAvailability = "quillmere/kiosk-17/availability";

class RemoteProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker.Start()) << broker.Error();
        const std::string data = GetDataFolder();
        ASSERT_TRUE(CreateDirectoryTree(JoinPath(data, "ports")));
        WriteWholeFile(JoinPath(data, "settings.xml"),
                       "<Settings><ComPort>7</ComPort><StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>"
                       "<EnableMemoryCheck>0</EnableMemoryCheck><NetworkMonitors/></Settings>\n");
        WriteWholeFile(JoinPath(data, "mqtt.conf"), "enabled = true\nhost = 127.0.0.1\nport = " +
                                                        std::to_string(broker.Port()) +
                                                        "\nsite = kiosk-17\nkeepalive = 5\n");
        unit = std::make_unique<DevSimProcess>(std::vector<std::string>{"--data-folder", data, "--com", "7"}, 120);
        ASSERT_TRUE(unit->Started()) << unit->Error();
    }

    void TearDown() override
    {
        if (program > 0)
        {
            ::kill(program, SIGKILL);
            WaitForChild(program, 5000);
        }
    }

    void StartProgram()
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const char* binary = std::getenv("QM_BINARY_DIR");
        program = SpawnProcess({std::string(binary != nullptr ? binary : ".") + "/app/quillmere-monitor"},
                               folder.Root() + "/program.out");
    }

    std::string Retained(const std::string& topic)
    {
        const auto lines = broker.Subscribe(topic, 1, 10, true);
        return lines.empty() ? std::string() : lines.back().substr(topic.size() + 1);
    }

    TempDataFolder folder;
    Broker broker;
    std::unique_ptr<DevSimProcess> unit;
    pid_t program = -1;
};
}

TEST_F(RemoteProgram, TheBrokerSaysOfflineForAProgramKilledOrEndedNormally)
{
    Listener first(broker, "quillmere/kiosk-17/event", 1, 20);
    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return Retained(kAvailability) == "online"; }, 20000)) << broker.Log();
    // The run's first line, written before mqtt.conf was read, is the first event too.
    const auto started = first.Lines();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_NE(started[0].find("\"text\":\"Application Started\""), std::string::npos) << started[0];
    EXPECT_NE(Retained("quillmere/kiosk-17/status").find("\"relays\":[{\"index\":1"), std::string::npos);

    // Killed without a word: the broker's last will speaks for it.
    ::kill(program, SIGKILL);
    WaitForChild(program, 5000);
    program = -1;
    EXPECT_TRUE(WaitUntil([&] { return Retained(kAvailability) == "offline"; }, 15000)) << broker.Log();

    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return Retained(kAvailability) == "online"; }, 20000)) << broker.Log();
    Listener events(broker, "quillmere/kiosk-17/event", 1, 20);
    ::kill(program, SIGTERM);
    const int status = WaitForChild(program, 20000);
    program = -1;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(Retained(kAvailability), "offline");
    const auto lines = events.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"text\":\"Application terminated\""), std::string::npos) << lines[0];
}
