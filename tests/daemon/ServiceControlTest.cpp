// The built service's control socket against the simulated unit, through the built
// quillmere-monitorctl, as a technician at the box uses them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/DevSimProcess.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using Clock = std::chrono::steady_clock;

struct Outcome
{
    int status = -1;
    std::string out;
    std::string err;
};

std::size_t CountOf(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

// "key=value" of the simulated unit's status line.
std::string Field(const std::string& status, const std::string& key)
{
    std::istringstream words(status);
    for (std::string word; words >> word;)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return {};
}
}

class ServiceControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(DataFolder());
        std::string settings = ProgramSettingsText(7);
        settings.replace(settings.find("<Relays></Relays>"), 17,
                         "<Relays><Relay><Index>3</Index><Name>Router</Name><Permission>Both</Permission></Relay>"
                         "<Relay><Index>4</Index><Name>Siren</Name><Permission>Cycle</Permission></Relay></Relays>");
        WriteWholeFile(DataFolder() + "/settings.xml", settings);
        m_sim = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--com", "7", "--data-folder", DataFolder(), "--cycle-ms", "300"}, 240);
        ASSERT_TRUE(m_sim->Started()) << m_sim->Error();
        m_service = std::make_unique<ProgramProcess>(m_folder.Root() + "/service.out", ProgramProcess::ServicePath(),
                                                     std::vector<std::string>{"--data-dir", DataFolder()});
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(SocketPath()); }, 10000)) << Diagnostics();
        // The link start's relay status answer: the unit has been heard.
        ASSERT_TRUE(WaitFor([&] { return Client({"status"}).out.find("answering;") != std::string::npos; }, 15000))
            << Diagnostics();
    }

    std::string DataFolder() const { return m_folder.Root() + "/state"; }
    std::string SocketPath() const { return m_folder.Root() + "/quillmere-monitord/control"; }
    std::string Log() const { return ReadWholeFile(DataFolder() + "/Quillmere.log"); }
    std::string Diagnostics() const
    {
        return "output:\n" + ReadWholeFile(m_folder.Root() + "/service.out") + "log:\n" + Log();
    }

    // The built client; `as` prefixes the command (setpriv to run it as another user).
    Outcome Client(const std::vector<std::string>& arguments, const std::string& as = {}) const
    {
        const char* binary = std::getenv("QM_BINARY_DIR");
        std::string command = as + " '" + std::string(binary != nullptr ? binary : ".") +
                              "/control/quillmere-monitorctl' --socket '" + SocketPath() + "'";
        for (const std::string& argument : arguments)
            command += " '" + argument + "'";
        const std::string out = m_folder.Root() + "/client.out";
        const std::string err = m_folder.Root() + "/client.err";
        const int status = std::system((command + " >'" + out + "' 2>'" + err + "'").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(out), ReadWholeFile(err)};
    }

    // One raw request on its own connection; the answer's first line.
    std::string Raw(const std::string& bytes) const
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        SocketPath().copy(address.sun_path, sizeof address.sun_path - 1);
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        {
            [[maybe_unused]] const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            char buffer[512];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                answer.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(fd);
        return answer.substr(0, answer.find('\n'));
    }

    TempDataFolder m_folder;
    std::unique_ptr<DevSimProcess> m_sim;
    std::unique_ptr<ProgramProcess> m_service;
};

TEST_F(ServiceControlTest, StatusAndOrdersAreTheUnitsAnswers)
{
    // What the unit says about itself, changed from its defaults, then asked for.
    for (const char* line :
         {"firmware 4.2.9", "iccid 8944123456789", "rssi 20", "relay 2 off", "door open", "radio 3g"})
        ASSERT_TRUE(m_sim->Command(line)) << line;
    const Outcome poll = Client({"poll"});
    EXPECT_EQ(poll.status, 0) << poll.err;
    EXPECT_EQ(poll.out, "the unit answered the poll\n");
    ASSERT_TRUE(WaitFor([&] { return Client({"status", "--json"}).out.find("\"4.2.9\"") != std::string::npos; },
                        10000));
    const Outcome json = Client({"status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string unit = m_sim->Control("status");
    ASSERT_EQ(Field(unit, "relays"), "00,01,00,00") << unit;
    for (const std::string& expected :
         {std::string("\"firmware\":\"") + Field(unit, "firmware") + "\"", "\"iccid\":\"" + Field(unit, "iccid") + "\"",
          std::string("\"door_open\":true"), std::string("\"radio_type\":\"3G\""),
          std::string("{\"relay\":2,\"name\":\"\",\"state\":\"off\"}"),
          std::string("{\"relay\":3,\"name\":\"Router\",\"state\":\"on\"}"), std::string("\"unit\":\"answering\"")})
        EXPECT_NE(json.out.find(expected), std::string::npos) << expected << " in " << json.out;
    EXPECT_NE(json.out.find("\"rssi\":" + std::to_string(2 * std::stoi(Field(unit, "rssi")) - 113)), std::string::npos)
        << json.out;

    // An order: the frame at the unit, the state the unit confirmed, who gave it in the log.
    const Outcome off = Client({"relay", "3", "off"});
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out, "relay 3 is off, as the unit answered\n");
    EXPECT_TRUE(m_sim->WaitForTranscriptLine("RX 02 09 02 03 01", 1000));
    EXPECT_EQ(Field(m_sim->Control("status"), "relays"), "00,01,01,00");
    EXPECT_NE(Log().find(",Event,Relay 3 (Router) switched off by local operator root"), std::string::npos) << Log();

    // The relay's permission rules the socket as it rules the window and the broker.
    const Outcome forbidden = Client({"relay", "4", "off"});
    EXPECT_EQ(forbidden.status, 1);
    EXPECT_NE(forbidden.err.find("relay 4 may not be switched on or off (permission Cycle)"), std::string::npos)
        << forbidden.err;
    const Outcome cycle = Client({"relay", "4", "cycle"});
    EXPECT_EQ(cycle.status, 0) << cycle.err;
    EXPECT_TRUE(m_sim->WaitForTranscriptLine("RX 02 05 01 04", 1000));

    // A unit that stopped answering: the order goes, the client says so after its wait.
    ASSERT_TRUE(m_sim->Command("silent on"));
    const Outcome silent = Client({"--wait", "1", "relay", "3", "on"});
    EXPECT_EQ(silent.status, 4) << silent.err;
    EXPECT_NE(silent.err.find("no answer from the unit within 1 s"), std::string::npos) << silent.err;
    EXPECT_EQ(Client({"relay", "9", "on"}).status, 2);

    const Outcome log = Client({"log", "-n", "3"});
    EXPECT_EQ(log.status, 0);
    EXPECT_EQ(CountOf(log.out, "\n"), 3u) << log.out;
    // The service reads its files again, RELOADING=1 ... READY=1 around it, for whoever asked.
    const Outcome reload = Client({"reload"});
    EXPECT_EQ(reload.status, 0) << reload.err;
    EXPECT_EQ(reload.out, "settings read again\n");
    EXPECT_NE(Log().find(",Event,Settings reload requested by local operator root"), std::string::npos) << Log();
    const Outcome monitors = Client({"monitors", "--json"});
    EXPECT_NE(monitors.out.find("{\"name\":\"Loopback\",\"target\":\"127.0.0.1\",\"kind\":\"ping\""),
              std::string::npos)
        << monitors.out;
}

TEST_F(ServiceControlTest, StrangersAndRubbishAreRefusedAndTheServiceRunsOn)
{
    // Even with a socket whose mode lets everyone connect, only its own user, root and the
    // group get through: the peer's credentials are checked on every connection.
    ASSERT_EQ(::chmod(SocketPath().c_str(), 0666), 0);
    for (const std::string& folder : {m_folder.Root(), m_folder.Root() + "/quillmere-monitord"})
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    if (::geteuid() == 0)
    {
        const std::string nobody = "setpriv --reuid 65534 --regid 65534 --clear-groups";
        for (int i = 0; i < 3; ++i)
        {
            const Outcome stranger = Client({"relay", "3", "off"}, nobody);
            EXPECT_EQ(stranger.status, 1) << stranger.err;
            // "... and members of group quillmere" too where the package made the group.
            EXPECT_NE(stranger.err.find("refused: only root "), std::string::npos) << stranger.err;
        }
        EXPECT_EQ(CountOf(Log(), "may not use the control socket"), 1u) << Log();
        const auto frames = m_sim->ReceivedFrames();
        EXPECT_TRUE(std::none_of(frames.begin(), frames.end(),
                                 [](const std::string& f) { return f.rfind("02 09 02 03", 0) == 0; }));
    }
    else
    {
        std::cout << "not root: the stranger's part is skipped\n";
    }

    // A thousand requests that are not ones: each gets its reason, the log one line.
    const std::vector<std::string> rubbish{"relay 5 on\n", "status\x01\n", std::string(300, 'x'), "\n", "relay 1\n",
                                           "log -3\n"};
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(Raw(rubbish[static_cast<std::size_t>(i) % rubbish.size()]).rfind("usage ", 0), 0u) << i;
    // One that never finishes its line is answered when its time is up.
    EXPECT_EQ(Raw("stat"), "usage no whole request line within 2 s");
    const Outcome good = Client({"status"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("Relay 3          on  Router"), std::string::npos) << good.out;
    EXPECT_LE(CountOf(Log(), "Control request refused"), 2u) << Log();
    EXPECT_TRUE(m_service->IsRunning());

    // A stopped service: the client says so at once, and scripts see 3.
    ASSERT_TRUE(m_service->Signal(SIGTERM));
    ASSERT_NE(m_service->WaitForExit(5000), -1);
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
    const auto asked = Clock::now();
    const Outcome stopped = Client({"status"});
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
    EXPECT_EQ(stopped.status, 3) << stopped.err;
    EXPECT_NE(stopped.err.find("not running"), std::string::npos) << stopped.err;
}
