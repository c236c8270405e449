#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <chrono>
#include <regex>
#include <atomic>
#include <thread>

#include "BridgeFixture.h"

// The bridge between the program's objects and a real broker, with mosquitto_sub and
// mosquitto_pub as the operator's side.
namespace
{
bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Topic(const std::string& sub)
{
    return std::string(BridgeFixture::kBase) + "/" + sub;
}

// The payload of the first line for topic, or an empty text.
std::string PayloadOf(const std::vector<std::string>& lines, const std::string& topic)
{
    for (const std::string& line : lines)
        if (line.compare(0, topic.size() + 1, topic + " ") == 0)
            return line.substr(topic.size() + 1);
    return {};
}
}

// A broker that speaks only MQTT 3.1.1, in front of the real one: a CONNECT of MQTT 5 is
// refused as such a broker does, any other is passed through to the broker.
class Mqtt311Gate
{
public:
    explicit Mqtt311Gate(int brokerPort) : m_brokerPort(brokerPort)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~Mqtt311Gate()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    int Port() const { return m_port; }
    int Refused() const { return m_refused; }

private:
    static sockaddr_in Loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return address;
    }
    bool Readable(int fd) const
    {
        pollfd ready{fd, POLLIN, 0};
        return ::poll(&ready, 1, 100) == 1;
    }
    void Serve()
    {
        while (!m_stop)
        {
            if (!Readable(m_listener))
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                Handle(client);
        }
    }
    void Handle(int client)
    {
        // Type, remaining length (one byte for a small CONNECT), "\0\4MQTT", the level.
        std::string head;
        char buffer[4096];
        while (head.size() < 9 && !m_stop && Readable(client))
        {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        if (head.size() >= 9 && head[8] == 5)
        {
            ++m_refused;
            // As a broker of MQTT 3.1.1 answers: "unacceptable protocol version" in its own form.
            const char connack[] = {0x20, 0x02, 0x00, 0x01};
            ::send(client, connack, sizeof connack, MSG_NOSIGNAL);
            ::close(client);
            return;
        }
        const int broker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(m_brokerPort);
        if (head.size() < 9 || ::connect(broker, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::send(broker, head.data(), head.size(), MSG_NOSIGNAL) < 0)
        {
            ::close(broker);
            ::close(client);
            return;
        }
        for (bool open = true; open && !m_stop;)
        {
            pollfd ends[2] = {{client, POLLIN, 0}, {broker, POLLIN, 0}};
            if (::poll(ends, 2, 100) <= 0)
                continue;
            for (int i = 0; i < 2 && open; ++i)
            {
                if (ends[i].revents == 0)
                    continue;
                const ssize_t n = ::recv(ends[i].fd, buffer, sizeof buffer, 0);
                open = n > 0 && ::send(ends[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
            }
        }
        ::close(broker);
        ::close(client);
    }

    int m_brokerPort;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_refused{0};
    std::thread m_thread;
};

class RemoteBridge : public BridgeFixture
{
protected:
    // Publishes as an operator would, then lets the UI thread take the command over.
    bool SendCommand(const std::string& sub, const std::string& payload)
    {
        return broker->Publish(Topic(sub), payload) && WaitUntil([this] { return RunUiTasks() > 0; }, 5000);
    }

    void StartSiteTakingCommands()
    {
        StartSite();
        CRemoteConfig config = Config();
        config.Commands = true;
        ASSERT_TRUE(StartBridge(config));
        ConnectLink();
        ASSERT_TRUE(broker->WaitForSubscription("quillmere-kiosk-17", Topic("poll")));
    }
};

TEST_F(RemoteBridge, PublishesRetainedAvailabilityStatusRelaysAndDiscoveryOnConnect)
{
    StartSite();
    ASSERT_TRUE(unit->Command("relay 2 off"));
    CRemoteConfig config = Config();
    config.Discovery = true;
    // Every config message of this start, and a marker after them.
    Listener configs(*broker, "homeassistant/#", 14, 30);
    ASSERT_TRUE(StartBridge(config));
    ConnectLink();

    // A newcomer gets the whole picture from retained messages alone.
    // Both availabilities, status, four relays and the four default monitors.
    const auto retained = broker->Subscribe(Topic("#"), 11, 10, true);
    ASSERT_EQ(retained.size(), 11u);
    EXPECT_EQ(PayloadOf(retained, Topic("availability")), "online");
    EXPECT_EQ(PayloadOf(retained, Topic("unit/availability")), "online");
    EXPECT_EQ(PayloadOf(retained, Topic("relay/1/state")), "ON");
    EXPECT_EQ(PayloadOf(retained, Topic("relay/2/state")), "OFF");
    const std::string status = PayloadOf(retained, Topic("status"));
    EXPECT_NE(status.find("\"door\":\"closed\""), std::string::npos) << status;
    EXPECT_NE(status.find("{\"index\":2,\"name\":\"Player\",\"permission\":\"Cycle\",\"state\":\"OFF\"}"),
              std::string::npos)
        << status;
    EXPECT_TRUE(std::regex_search(status, std::regex("\"rssi_dbm\":-?[0-9]+"))) << status;
    EXPECT_NE(status.find("\"link_error\":null"), std::string::npos) << status;
    const std::string monitor = PayloadOf(retained, Topic("monitor/Web cam/state"));
    EXPECT_EQ(monitor, "{\"name\":\"Web cam\",\"target\":\"192.168.0.249\",\"kind\":\"ping\",\"failures\":0,"
                       "\"resets_used\":0,\"limit\":3,"
                       "\"last_result\":\"ok\",\"state\":\"ok\"}");

    // Without commands a relay is only shown; nothing offers to switch it.
    // Four relays, five sensors of the unit, and the four monitors as problems.
    const auto discovery = broker->Subscribe("homeassistant/#", 13, 10, true);
    EXPECT_EQ(discovery.size(), 13u);
    EXPECT_FALSE(PayloadOf(discovery, "homeassistant/binary_sensor/quillmere_kiosk-17/relay3/config").empty());
    const std::string signal = PayloadOf(discovery, "homeassistant/sensor/quillmere_kiosk-17/signal/config");
    EXPECT_NE(signal.find("\"availability\":[{\"topic\":\"quillmere/kiosk-17/availability\"},"
                          "{\"topic\":\"quillmere/kiosk-17/unit/availability\"}],\"availability_mode\":\"all\""),
              std::string::npos)
        << signal;
    EXPECT_TRUE(PayloadOf(discovery, "homeassistant/switch/quillmere_kiosk-17/relay3/config").empty());
    // A monitor's checks go on without the unit: it shows while the program reaches the broker.
    const std::string webCam = PayloadOf(discovery, "homeassistant/binary_sensor/quillmere_kiosk-17/monitor_Web_20cam/config");
    EXPECT_NE(webCam.find("\"availability\":[{\"topic\":\"quillmere/kiosk-17/availability\"}],"), std::string::npos)
        << webCam;
    EXPECT_TRUE(bridge->GetStatusLine().starts_with("Remote: connected to 127.0.0.1:"));

    // Each entity's config went out once, with its final device block, while the unit told
    // its firmware and ICCID.
    ASSERT_TRUE(broker->Publish("homeassistant/zz/marker", "end"));
    const auto sent = configs.Lines();
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent.back(), "homeassistant/zz/marker end");
    for (std::size_t i = 0; i + 1 < sent.size(); ++i)
        EXPECT_NE(sent[i].find("\"hw_version\":"), std::string::npos) << sent[i];
}

TEST_F(RemoteBridge, DiscoveryFollowsPermissionsAndRemovesRelaysThatWent)
{
    StartSite();
    // Left by an earlier run with a relay 7 the settings no longer have, and another site's.
    const std::string stale = "homeassistant/switch/quillmere_kiosk-17/relay7/config";
    const std::string otherSite = "homeassistant/switch/quillmere_kiosk-18/relay7/config";
    ASSERT_TRUE(broker->Publish(stale, "{}", true));
    ASSERT_TRUE(broker->Publish(otherSite, "{}", true));
    Listener staleRemoved(*broker, stale, 1, 10);
    CRemoteConfig config = Config();
    config.Discovery = true;
    config.Commands = true;
    ASSERT_TRUE(StartBridge(config));
    ConnectLink();
    EXPECT_EQ(staleRemoved.Lines(), std::vector<std::string>{stale + " (null)"});
    EXPECT_EQ(broker->Subscribe(otherSite, 1, 2, true), std::vector<std::string>{otherSite + " {}"});
    auto discovery = broker->Subscribe("homeassistant/+/quillmere_kiosk-17/#", 100, 2, true);
    // Relay 1 may only be cycled: a button, no switch. Relay 3 may only be switched.
    EXPECT_FALSE(PayloadOf(discovery, "homeassistant/button/quillmere_kiosk-17/relay1_cycle/config").empty());
    EXPECT_TRUE(PayloadOf(discovery, "homeassistant/switch/quillmere_kiosk-17/relay1/config").empty());
    const std::string relay3 = PayloadOf(discovery, "homeassistant/switch/quillmere_kiosk-17/relay3/config");
    EXPECT_NE(relay3.find("\"command_topic\":\"quillmere/kiosk-17/relay/3/set\""), std::string::npos) << relay3;
    EXPECT_TRUE(PayloadOf(discovery, "homeassistant/button/quillmere_kiosk-17/relay3_cycle/config").empty());

    // Renumbering relay 4 to 9 on the settings page takes relay 4's entities away.
    Listener removed(*broker, "homeassistant/switch/quillmere_kiosk-17/relay4/config", 1, 10);
    settings.FindRelaySetting(4)->SetIndex(9);
    const auto lines = removed.Lines();
    ASSERT_EQ(lines.size(), 1u);
    // mosquitto_sub shows an empty payload, the removal, as "(null)".
    EXPECT_EQ(lines[0], "homeassistant/switch/quillmere_kiosk-17/relay4/config (null)");
}

TEST_F(RemoteBridge, RelayChangedByTheUnitAppearsOnItsStateTopic)
{
    StartSite();
    ASSERT_TRUE(StartBridge(Config()));
    ConnectLink();
    Listener state(*broker, Topic("relay/3/state"), 1, 10);
    Listener events(*broker, Topic("event"), 1, 10);
    ASSERT_TRUE(unit->Command("inject relay 3 off button"));
    EXPECT_TRUE(Has(state.Lines(), Topic("relay/3/state") + " OFF"));
    const auto event = events.Lines();
    ASSERT_EQ(event.size(), 1u);
    EXPECT_NE(event[0].find("\"level\":\"Event\",\"text\":\"Relay 3 state changed to inactive by button interface\""),
              std::string::npos)
        << event[0];
}

TEST_F(RemoteBridge, CommandsReachTheUnitAsFramesWithinTheRelaysPermissions)
{
    StartSiteTakingCommands();
    ASSERT_FALSE(HasFatalFailure());

    ASSERT_TRUE(SendCommand("relay/3/set", "OFF"));
    EXPECT_TRUE(WaitForFrame("02 09 02 03 01"));
    EXPECT_TRUE(WaitForLog("Event,Relay 3 (Digital Display) switched off by remote operator over MQTT"));
    ASSERT_TRUE(SendCommand("relay/3/set", "ON"));
    EXPECT_TRUE(WaitForFrame("02 09 02 03 00"));

    ASSERT_TRUE(SendCommand("relay/1/set", "cycle"));
    EXPECT_TRUE(WaitForFrame("02 05 01 01"));

    // Relay 1 may only be cycled, relay 3 only switched: both refusals are logged, no frame.
    ASSERT_TRUE(SendCommand("relay/1/set", "ON"));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: relay 1 may not be switched on or off (permission Cycle)"));
    ASSERT_TRUE(SendCommand("relay/3/set", "CYCLE"));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: relay 3 may not be power-cycled (permission On/Off)"));

    // Malformed ones never reach the UI thread.
    ASSERT_TRUE(broker->Publish(Topic("relay/7/set"), "ON"));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: no relay \"7\" (relays are 1 to 4)"));
    ASSERT_TRUE(broker->Publish(Topic("relay/2/set"), std::string(300, 'O')));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: payload of 300 bytes"));
    ASSERT_TRUE(broker->Publish(Topic("reset"), "please"));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: reset needs the payload RESET"));
    EXPECT_EQ(PendingUiTasks(), 0u);

    ASSERT_TRUE(SendCommand("reset", "RESET"));
    EXPECT_TRUE(WaitForFrame("02 0B 01 AA"));
    EXPECT_TRUE(WaitForLog("Event,Device reset requested by remote operator over MQTT"));

    std::size_t switches = 0, cycles = 0;
    for (const std::string& frame : unit->ReceivedFrames())
    {
        switches += frame.starts_with("02 09 ");
        cycles += frame.starts_with("02 05 ");
    }
    EXPECT_EQ(switches, 2u);
    EXPECT_EQ(cycles, 1u);
}

TEST_F(RemoteBridge, WithCommandsOffNothingIsTakenFromTheBroker)
{
    StartSite();
    ASSERT_TRUE(StartBridge(Config()));
    ConnectLink();
    // Never subscribed: a command has no way in, however long one waits for it.
    ASSERT_TRUE(broker->WaitForSubscription("quillmere-kiosk-17", Topic("availability")));
    ASSERT_TRUE(broker->Publish(Topic("relay/3/set"), "OFF"));
    ASSERT_TRUE(broker->Publish(Topic("reset"), "RESET"));
    EXPECT_EQ(RunUiTasks(), 0u);
    const std::string log = broker->Log();
    EXPECT_NE(log.find(Topic("availability")), std::string::npos) << log;   // what it did subscribe to
    EXPECT_EQ(log.find(Topic("relay/+/set")), std::string::npos);
    EXPECT_EQ(log.find(Topic("reset")), std::string::npos);
}

TEST_F(RemoteBridge, CommandsAreRefusedWhileTheLinkIsStopped)
{
    StartSiteTakingCommands();
    ASSERT_FALSE(HasFatalFailure());
    manager.Stop();   // the settings page is open
    manager.WaitForThreads();
    const std::size_t before = unit->ReceivedFrames().size();
    ASSERT_TRUE(broker->Publish(Topic("poll"), ""));
    ASSERT_TRUE(WaitUntil([this] { return RunUiTasks() > 0; }, 5000));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: the link to the unit is not running"));
    EXPECT_EQ(unit->ReceivedFrames().size(), before);
}

TEST_F(RemoteBridge, ReconnectsAfterTheBrokerCameBackAndRepublishesWhatChangedMeanwhile)
{
    Broker::Options options;
    options.persistence = true;
    StartSite(options);
    ASSERT_TRUE(StartBridge(Config()));
    ConnectLink();
    Listener events(*broker, Topic("event"), 102, 60, "event-archive");

    broker->Stop();
    ASSERT_TRUE(WaitUntil([this] { return !bridge->IsConnected(); }, 10000));
    EXPECT_TRUE(bridge->GetStatusLine().starts_with("Remote: offline ("));

    // The program goes on as before: a poll is answered, the unit changes a relay.
    const auto pollStart = std::chrono::steady_clock::now();
    const std::size_t sent = unit->SentFrames().size();
    manager.Poll();
    EXPECT_LT(std::chrono::steady_clock::now() - pollStart, std::chrono::milliseconds(100));
    EXPECT_TRUE(unit->WaitForSentFrames(sent + 8, 10000));
    ASSERT_TRUE(unit->Command("inject relay 4 off web"));
    ASSERT_TRUE(WaitForLog("Event,Relay 4 state changed to inactive by web interface"));
    for (int i = 1; i <= 105; ++i)
        log.Write(LogEntryLevel::Event, "offline event " + std::to_string(i));

    ASSERT_TRUE(broker->Start()) << broker->Error();
    ASSERT_TRUE(WaitUntil([this] { return bridge->IsConnected(); }, 30000));
    EXPECT_TRUE(WaitForLog("Event,Remote: connected to 127.0.0.1:"));
    const auto retained = broker->Subscribe(Topic("relay/4/state"), 1, 10, true);
    EXPECT_TRUE(Has(retained, Topic("relay/4/state") + " OFF"));

    // The newest 100 kept in order, the older ones counted first.
    const auto received = events.Lines();
    ASSERT_GE(received.size(), 101u);
    std::vector<int> numbers;
    std::size_t droppedAt = received.size();
    int dropped = 0;
    const std::regex droppedText("\"text\":\"([0-9]+) events dropped while offline\"");
    const std::regex eventText("\"text\":\"offline event ([0-9]+)\"");
    for (std::size_t i = 0; i < received.size(); ++i)
    {
        std::smatch match;
        if (std::regex_search(received[i], match, droppedText))
        {
            droppedAt = i;
            dropped = std::stoi(match[1]);
        }
        else if (std::regex_search(received[i], match, eventText))
            numbers.push_back(std::stoi(match[1]));
    }
    ASSERT_LT(droppedAt, received.size());
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 105);
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(numbers.back() - numbers.front() + 1, static_cast<int>(numbers.size()));
    // The lost-connection line and the relay change were kept too: 107 went in, 7 were dropped.
    EXPECT_EQ(dropped, 7);
    EXPECT_EQ(numbers.size(), 100u);
}

TEST_F(RemoteBridge, RetainedCommandsAreNeverCarriedOutAtStartWhileConnectedOrAfterAReconnect)
{
    Broker::Options options;
    options.persistence = true;
    StartSite(options);
    ASSERT_TRUE(broker->Publish(Topic("reset"), "RESET", true));
    ASSERT_TRUE(broker->Publish(Topic("relay/3/set"), "OFF", true));
    CRemoteConfig config = Config();
    config.Commands = true;
    ASSERT_TRUE(StartBridge(config));
    ConnectLink();
    const auto told = [this](const std::string& sub) {
        return "Error,Remote command ignored: retained message on " + Topic(sub) +
               "; clear it with an empty retained message";
    };
    EXPECT_TRUE(WaitForLog(told("reset")));
    EXPECT_TRUE(WaitForLog(told("relay/3/set")));
    ASSERT_TRUE(broker->WaitForSubscription("quillmere-kiosk-17", Topic("poll")));

    // Left retained while the site is connected: the broker passes it on live, flag and all.
    ASSERT_TRUE(broker->Publish(Topic("relay/3/set"), "ON", true));
    ASSERT_TRUE(broker->Publish(Topic("reset"), "RESET", true));
    ASSERT_TRUE(broker->Publish(Topic("relay/2/set"), "OFF", true));
    EXPECT_TRUE(WaitForLog(told("relay/2/set")));

    broker->Stop();
    ASSERT_TRUE(WaitUntil([this] { return !bridge->IsConnected(); }, 10000));
    ASSERT_TRUE(broker->Start()) << broker->Error();
    ASSERT_TRUE(WaitUntil([this] { return bridge->IsConnected(); }, 30000));
    ASSERT_TRUE(broker->WaitForSubscription("quillmere-kiosk-17", Topic("poll")));
    // A live command still goes through; it also shows the replayed ones had their turn before it.
    ASSERT_TRUE(SendCommand("poll", ""));

    EXPECT_EQ(PendingUiTasks(), 0u);
    for (const std::string& frame : unit->ReceivedFrames())
        EXPECT_FALSE(frame.starts_with("02 09 ") || frame.starts_with("02 0B ")) << frame;
    std::map<std::string, int> lines;
    for (const std::string& line : LogLines())
        if (line.starts_with("Error,Remote command ignored"))
            ++lines[line];
    // Once per topic and connection: three topics, the second connection tells all three again.
    EXPECT_EQ(lines, (std::map<std::string, int>{{told("relay/2/set"), 2}, {told("relay/3/set"), 2},
                                                  {told("reset"), 2}}));
    // They stay on the broker: only the operator who left them may clear them.
    EXPECT_TRUE(Has(broker->Subscribe(Topic("reset"), 1, 10, true), Topic("reset") + " RESET"));
}

TEST_F(RemoteBridge, ABrokerThatRefusesMqtt5IsSpokenToIn311AndTheRemoteLineSaysWhatThatCannotTell)
{
    StartSite();
    ASSERT_TRUE(broker->Publish(Topic("reset"), "RESET", true));
    Mqtt311Gate gate(broker->Port());
    CRemoteConfig config = Config();
    config.Port = gate.Port();
    config.Commands = true;
    ASSERT_TRUE(StartBridge(config));
    ConnectLink();
    const std::string endpoint = "127.0.0.1:" + std::to_string(gate.Port());
    EXPECT_EQ(gate.Refused(), 1);
    EXPECT_TRUE(WaitForLog("Error,Remote: the broker " + endpoint + " refused MQTT 5; speaking MQTT 3.1.1, where a "
                           "retained command sent while connected cannot be told from a live one"));
    EXPECT_EQ(bridge->GetStatusLine(), "Remote: connected to " + endpoint + CBridgeSession::kFallbackNote);
    // What the broker replays at the subscription still carries its flag; live commands work.
    EXPECT_TRUE(WaitForLog("Error,Remote command ignored: retained message on " + Topic("reset")));
    ASSERT_TRUE(broker->WaitForSubscription("quillmere-kiosk-17", Topic("poll")));
    ASSERT_TRUE(SendCommand("relay/3/set", "OFF"));
    EXPECT_TRUE(WaitForFrame("02 09 02 03 01"));
    EXPECT_FALSE(WaitForFrame("02 0B ", 0));
    std::size_t outages = 0;
    for (const std::string& line : LogLines())
        outages += line.find("Remote: cannot reach") != std::string::npos;
    EXPECT_EQ(outages, 0u);
}

TEST_F(RemoteBridge, AnotherClientWithTheSiteIdIsAConflictToldOnceAndNotFought)
{
    StartSite();
    ASSERT_TRUE(StartBridge(Config()));
    // Another program of the same site: it takes the id back every time the bridge gets it.
    std::vector<std::string> args = {"sh", "-c",
                                     "for i in 1 2 3 4 5 6 7 8; do mosquitto_sub -i quillmere-kiosk-17 -t x -W 3 \"$@\";"
                                     " done",
                                     "other"};
    const auto client = broker->ClientArgs();
    args.insert(args.end(), client.begin(), client.end());
    const pid_t other = SpawnProcess(args, folder.Root() + "/other.txt");
    ASSERT_GT(other, 0);

    EXPECT_TRUE(WaitForLog("Error,Remote: another program is connected as site kiosk-17", 30000));
    EXPECT_EQ(bridge->GetStatusLine(), "Remote: offline (another program is connected as site kiosk-17)");
    // The longest back-off holds now: the log stays as it is while the other one keeps the id.
    const auto afterConflict = LogLines();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(LogLines(), afterConflict);
    std::size_t told = 0, connected = 0;
    for (const std::string& line : afterConflict)
    {
        told += line.find("another program is connected") != std::string::npos;
        connected += line.find("Remote: connected to") != std::string::npos;
    }
    EXPECT_EQ(told, 1u);
    EXPECT_LE(connected, 4u);
    WaitForChild(other, 1);
}

TEST_F(RemoteBridge, UnitAvailabilityFollowsWhetherTheUnitAnswers)
{
    StartSite();
    ASSERT_TRUE(StartBridge(Config()));
    ConnectLink();
    Listener changes(*broker, Topic("unit/availability"), 2, 30);
    ASSERT_TRUE(WaitUntil([this] { return broker->Subscribe(Topic("unit/availability"), 1, 5, true) ==
                                          std::vector<std::string>{Topic("unit/availability") + " online"}; },
                          10000));
    ASSERT_TRUE(unit->Command("silent on"));
    manager.Poll();   // its first exchange goes unanswered
    ASSERT_TRUE(WaitUntil([this] { return broker->Subscribe(Topic("unit/availability"), 1, 5, true) ==
                                          std::vector<std::string>{Topic("unit/availability") + " offline"}; },
                          20000));
    ASSERT_TRUE(unit->Command("silent off"));
    manager.Poll();
    EXPECT_EQ(changes.Lines(), (std::vector<std::string>{Topic("unit/availability") + " offline",
                                                         Topic("unit/availability") + " online"}));
}

TEST_F(RemoteBridge, TheRunsLinesFromItsFirstOnReachTheEventTopic)
{
    StartSite();
    // As the program starts: the bridge listens before the first line and reads mqtt.conf after.
    bridge->ListenToLogEarly();
    log.Write(LogEntryLevel::Event, "Application Started");
    Listener events(*broker, Topic("event"), 2, 10);
    ASSERT_TRUE(StartBridge(Config()));
    const auto lines = events.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"text\":\"Application Started\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"text\":\"Remote: connected to"), std::string::npos) << lines[1];
}

TEST_F(RemoteBridge, MonitorNamesBecomeTopicLevelsOfTheirOwn)
{
    StartSite();
    while (!settings.GetNetworkMonitors().empty())
        settings.RemoveNetworkMonitor(settings.GetNetworkMonitors().front().get());
    // The last three hold what no topic can carry: a byte that is not UTF-8, a non-character,
    // a lone surrogate.
    const std::vector<std::pair<std::string, std::string>> monitors = {
        {"Router/1", "Router%2F1"},
        {"Router+1", "Router%2B1"},
        {"Router_1", "Router_1"},
        {" Cam\xFF", "%20Cam%FF"},
        {"Cam\xEF\xBF\xBE", "Cam%EF%BF%BE"},
        {"Cam\xED\xA0\x80", "Cam%ED%A0%80"}};
    for (const auto& monitor : monitors)
        settings.AddNetworkMonitor()->SetEventName(monitor.first);
    ASSERT_TRUE(StartBridge(Config()));
    const auto retained = broker->Subscribe(Topic("monitor/+/state"), 6, 10, true);
    ASSERT_EQ(retained.size(), 6u);
    for (const auto& [name, level] : monitors)
    {
        const std::string payload = PayloadOf(retained, Topic("monitor/" + level + "/state"));
        EXPECT_TRUE(payload.starts_with("{\"name\":\"")) << level << ": " << payload;
    }
    // The payload names the monitor itself, a byte that is not UTF-8 as U+FFFD.
    EXPECT_TRUE(PayloadOf(retained, Topic("monitor/%20Cam%FF/state")).starts_with("{\"name\":\" Cam\xEF\xBF\xBD\","));
    const auto lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("no topic can carry") != std::string::npos; }),
              3);
    EXPECT_TRUE(WaitForLog("Event,Remote: the monitor \"Cam\xEF\xBF\xBE\" is published as " +
                           Topic("monitor/Cam%EF%BF%BE/state") + ": its name holds characters no topic can carry"));
}

TEST_F(RemoteBridge, ABrokerThatKeepsTheSitesMessagesFromItIsToldOnce)
{
    // The help's ACL: each user its own site's topics. Site kiosk-17 connects as kiosk-9.
    Broker::Options options;
    options.user = "kiosk-9";
    options.password = "pw";
    options.acl = "pattern readwrite quillmere/%u/#\n";
    StartSite(options);
    CRemoteConfig config = Config();
    config.Username = "kiosk-9";
    config.PasswordFile = "pw";
    config.Password = "pw";
    ASSERT_TRUE(StartBridge(config));
    const std::string line = "Error,Remote: the broker 127.0.0.1:" + std::to_string(broker->Port()) +
                             " does not deliver the messages of site kiosk-17 (check the user name kiosk-9 against "
                             "the broker's ACL)";
    ASSERT_TRUE(WaitForLog(line, 15000));
    EXPECT_TRUE(manager.GetRemoteLine().ends_with(
        ", but the broker does not deliver this site's messages (check the user name against the ACL)"))
        << manager.GetRemoteLine();

    // As site kiosk-9 the same user is let through: no further line, a plain Remote line.
    bridge->Stop();
    config.Site = "kiosk-9";
    ASSERT_TRUE(StartBridge(config));
    std::this_thread::sleep_for(CBridgeSession::kSelfCheckWait + std::chrono::seconds(1));
    const auto lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("does not deliver") != std::string::npos; }),
              1);
    EXPECT_EQ(manager.GetRemoteLine(), "Remote: connected to 127.0.0.1:" + std::to_string(broker->Port()));
}
