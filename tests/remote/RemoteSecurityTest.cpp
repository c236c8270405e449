#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "BridgeFixture.h"
#include "core/DataFolder.h"

// TLS with certificates made by openssl for this run, and a broker that wants a password.
namespace
{
class RemoteSecurity : public BridgeFixture
{
protected:
    void StartBroker(Broker::Options options)
    {
        broker = std::make_unique<Broker>(options);
        ASSERT_TRUE(broker->Start()) << broker->Error();
    }

    // mqtt.conf and the password file in the data folder, as an operator would write them.
    void WriteConfig(const std::string& extra, const std::string& password = "right horse")
    {
        WriteWholeFile(JoinPath(GetDataFolder(), "pw"), password + "\n");
        ::chmod(JoinPath(GetDataFolder(), "pw").c_str(), 0600);
        WriteWholeFile(JoinPath(GetDataFolder(), "mqtt.conf"),
                       "enabled = true\nhost = 127.0.0.1\nport = " + std::to_string(broker->Port()) +
                           "\nsite = kiosk-17\nusername = kiosk\npassword_file = pw\n" + extra);
    }
};
}

TEST_F(RemoteSecurity, VerifiedTlsWithUserAndPasswordConnects)
{
    StartBroker({true, "kiosk", "right horse"});
    WriteConfig("ca_file = " + broker->CaFile() + "\n");
    ASSERT_TRUE(bridge->Start());
    ASSERT_TRUE(WaitUntil([this] { return bridge->IsConnected(); }, 15000)) << broker->Log();
    const auto retained = broker->Subscribe(std::string(kBase) + "/availability", 1, 10, true);
    ASSERT_EQ(retained.size(), 1u);
    EXPECT_EQ(retained[0], std::string(kBase) + "/availability online");
}

TEST_F(RemoteSecurity, ATlsBrokerStartedLateOrRestartedIsReachedOnTheBackOffWithOneLinePerOutage)
{
    StartBroker({true, "kiosk", "right horse"});
    broker->Stop();
    WriteConfig("ca_file = " + broker->CaFile() + "\n");
    ASSERT_TRUE(bridge->Start());
    const std::string endpoint = "127.0.0.1:" + std::to_string(broker->Port());
    EXPECT_TRUE(WaitForLog("Error,Remote: cannot reach " + endpoint));
    ASSERT_TRUE(broker->Start()) << broker->Error();
    // The back-off is at most 8 s by now; a hung handshake is given up after a few seconds.
    EXPECT_TRUE(WaitUntil([this] { return bridge->IsConnected(); }, 15000)) << broker->Log();

    broker->Stop();
    EXPECT_TRUE(WaitForLog("Error,Remote: connection to " + endpoint + " lost"));
    ASSERT_TRUE(broker->Start()) << broker->Error();
    EXPECT_TRUE(WaitUntil([this] { return bridge->IsConnected(); }, 15000)) << broker->Log();

    std::size_t outageLines = 0;
    for (const std::string& line : LogLines())
        outageLines += line.find("Error,Remote: cannot reach") == 0 || line.find("Error,Remote: connection to") == 0;
    EXPECT_EQ(outageLines, 2u);
}

TEST_F(RemoteSecurity, AServerCertificateFromAnotherCaIsRefusedWithAClearLine)
{
    StartBroker({true, "kiosk", "right horse"});
    WriteConfig("ca_file = " + broker->OtherCaFile() + "\n");
    ASSERT_TRUE(bridge->Start());
    EXPECT_TRUE(WaitForLog("Error,Remote: cannot reach 127.0.0.1:" + std::to_string(broker->Port())));
    EXPECT_TRUE(WaitForLog("certificate verify failed")) << broker->Log();
    EXPECT_FALSE(bridge->IsConnected());
    EXPECT_TRUE(bridge->GetStatusLine().starts_with("Remote: offline ("));
}

TEST_F(RemoteSecurity, AWrongPasswordIsRefusedByTheBrokerAndSaysSo)
{
    StartBroker({false, "kiosk", "right horse"});
    WriteConfig("", "wrong horse");
    ASSERT_TRUE(bridge->Start());
    EXPECT_TRUE(WaitForLog("Error,Remote: cannot reach 127.0.0.1:" + std::to_string(broker->Port()) +
                           " (the broker refused: Connection Refused: not authorised.)"));
    EXPECT_FALSE(bridge->IsConnected());
}

TEST_F(RemoteSecurity, BadOrMissingConfigurationLeavesTheBridgeOff)
{
    const auto before = LogLines();
    EXPECT_FALSE(bridge->Start());   // no mqtt.conf: nothing at all
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_TRUE(bridge->GetStatusLine().empty());
    EXPECT_EQ(LogLines(), before);

    WriteWholeFile(JoinPath(GetDataFolder(), "mqtt.conf"), "enabled = true\nhost = 127.0.0.1\ncommand = true\n");
    EXPECT_FALSE(bridge->Start());
    EXPECT_FALSE(bridge->IsRunning());
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), before.size() + 1);
    EXPECT_EQ(lines.back(), "Error,Remote: mqtt.conf line 3: unknown key \"command\"; the broker connection stays off");
    // The Status page says so as well.
    EXPECT_EQ(manager.GetRemoteLine(), "Remote: offline (mqtt.conf line 3: unknown key \"command\")");
}
