#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>

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

    // Lines of the program's log, without their time.
    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(ReadWholeFile(JoinPath(GetDataFolder(), "Quillmere.log")));
        for (std::string line; std::getline(in, line);)
            if (const auto comma = line.find(','); comma != std::string::npos)
                lines.push_back(line.substr(comma + 1, line.find_last_not_of('\r') - comma));
        return lines;
    }

    std::size_t LinesWith(const std::string& text) const
    {
        std::size_t count = 0;
        for (const std::string& line : LogLines())
            count += line.find(text) != std::string::npos;
        return count;
    }

    // SIGTERM; the time until the program ended normally.
    std::chrono::milliseconds Terminate()
    {
        const auto start = std::chrono::steady_clock::now();
        ::kill(program, SIGTERM);
        const int status = WaitForChild(program, 20000);
        const auto took = std::chrono::steady_clock::now() - start;
        program = -1;
        EXPECT_TRUE(WIFEXITED(status)) << status;
        return std::chrono::duration_cast<std::chrono::milliseconds>(took);
    }

    TempDataFolder folder;
    Broker broker;
    std::unique_ptr<DevSimProcess> unit;
    pid_t program = -1;
};

}

TEST_F(RemoteProgram, ABrokerNameWhoseLookupHangsNeverHoldsTheProgramsEnd)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs the private namespaces' root";
    SilentResolver resolver;
    ASSERT_TRUE(resolver.Start(folder.Root())) << resolver.Error();
    WriteWholeFile(JoinPath(GetDataFolder(), "mqtt.conf"),
                   "enabled = true\nhost = broker.quillmere.test\nsite = kiosk-17\n");
    StartProgram();
    ASSERT_EQ(resolver.WaitForQuestion(20000), "broker.quillmere.test");
    // The outage has its one line once the lookup's time is up, and the program carries on.
    ASSERT_TRUE(WaitUntil([&] { return LinesWith("Error,Remote: cannot resolve broker.quillmere.test") == 1; },
                          20000));
    // The next attempt's lookup is under way, and hangs, when the program is told to end.
    ASSERT_EQ(resolver.WaitForQuestion(20000), "broker.quillmere.test");
    // A lookup that held the end would hold it for its whole budget (5 s) or the resolver's
    // (minutes); an end that is only slow (a sanitizer on a busy machine) takes about a second.
    EXPECT_LT(Terminate(), std::chrono::seconds(3));
    EXPECT_EQ(LinesWith("Error,Remote: cannot resolve"), 1u);
    EXPECT_EQ(LinesWith("Event,Application terminated"), 1u);
}

TEST_F(RemoteProgram, AFifoGivenAsCaFileKeepsTheBridgeOffAndTheProgramRunning)
{
    const std::string fifo = JoinPath(GetDataFolder(), "ca.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);   // nobody ever writes to it
    WriteWholeFile(JoinPath(GetDataFolder(), "mqtt.conf"), "enabled = true\nhost = 127.0.0.1\nport = " +
                                                               std::to_string(broker.Port()) +
                                                               "\nsite = kiosk-17\nca_file = ca.fifo\n");
    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return LinesWith("Error,Remote: mqtt.conf line 5: ca_file") == 1; }, 20000));
    // The unit is polled as ever.
    ASSERT_TRUE(unit->WaitForSentFrames(8, 20000));
    // A FIFO opened for reading would hold the end for ever; a slow end takes about a second.
    EXPECT_LT(Terminate(), std::chrono::seconds(3));
    EXPECT_EQ(LinesWith("Error,Remote:"), 1u);
    EXPECT_EQ(LinesWith("Event,Application terminated"), 1u);
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
