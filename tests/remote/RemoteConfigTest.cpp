#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/DirectoryTree.h"
#include "remote/RemoteConfig.h"
#include "tests/support/TempDataFolder.h"

TEST(RemoteConfig, ReadsEveryKeyWithCommentsBlanksAndSpacing)
{
    const auto result = ParseRemoteConfig("# the site's broker\n"
                                          "enabled = true\n"
                                          "\n"
                                          "  host=broker.example.net  \r\n"
                                          "site = kiosk_17   # the shop's name\n"
                                          "prefix = fleet/north\n"
                                          "keepalive = 30\n"
                                          "ca_file = ca.crt\n"
                                          "cert_file = me.crt\n"
                                          "key_file = me.key\n"
                                          "tls_verify = no\n"
                                          "username = kiosk#1\n"
                                          "password_file = secret\n"
                                          "commands = yes\n"
                                          "discovery = TRUE\n"
                                          "discovery_prefix = ha/main\n",
                                          "thishost");
    ASSERT_EQ(result.State, RemoteConfigState::Enabled) << result.Error;
    const CRemoteConfig& c = result.Config;
    EXPECT_EQ(c.Host, "broker.example.net");
    EXPECT_EQ(c.Site, "kiosk_17");
    EXPECT_EQ(c.Username, "kiosk#1");   // a '#' inside a value is part of it
    EXPECT_EQ(c.EffectivePort(), 8883);   // TLS without a port
    EXPECT_EQ(c.BaseTopic(), "fleet/north/kiosk_17");
    EXPECT_EQ(c.KeepAlive, 30);
    EXPECT_FALSE(c.TlsVerify);
    EXPECT_TRUE(c.Commands);
    EXPECT_TRUE(c.Discovery);
    EXPECT_EQ(c.DiscoveryPrefix, "ha/main");
    EXPECT_EQ(result.PasswordFileLine, 13);
}

TEST(RemoteConfig, DefaultsAreSafe)
{
    const auto result = ParseRemoteConfig("enabled = true\nhost = 127.0.0.1\n", "thishost");
    ASSERT_EQ(result.State, RemoteConfigState::Enabled);
    EXPECT_EQ(result.Config.EffectivePort(), 1883);
    EXPECT_EQ(result.Config.BaseTopic(), "quillmere/thishost");
    EXPECT_EQ(result.Config.KeepAlive, 60);
    EXPECT_TRUE(result.Config.TlsVerify);
    EXPECT_FALSE(result.Config.Commands);
    EXPECT_FALSE(result.Config.Discovery);
    EXPECT_EQ(result.Config.DiscoveryPrefix, "homeassistant");

    EXPECT_EQ(ParseRemoteConfig("enabled = false\nhost = x\n", "h").State, RemoteConfigState::Disabled);
    EXPECT_EQ(ParseRemoteConfig("# nothing yet\n", "h").State, RemoteConfigState::Disabled);
}

struct BadFile
{
    const char* text;
    const char* error;   // the message names the line and the key
};

void PrintTo(const BadFile& f, std::ostream* os)
{
    *os << f.error;
}

class RemoteConfigBad : public ::testing::TestWithParam<BadFile> {};

TEST_P(RemoteConfigBad, IsRefusedWithTheLineAndTheKey)
{
    const auto result = ParseRemoteConfig(GetParam().text, "thishost");
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_EQ(result.Error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RemoteConfigBad,
    ::testing::Values(
        BadFile{"enabled = true\nhots = x\n", "mqtt.conf line 2: unknown key \"hots\""},
        BadFile{"enabled = true\nhost\n", "mqtt.conf line 2: expected \"key = value\", found \"host\""},
        BadFile{"enabled = maybe\n", "mqtt.conf line 1: bad value \"maybe\" for enabled"},
        BadFile{"enabled = true\nhost = h\nport = 70000\n", "mqtt.conf line 3: bad value \"70000\" for port"},
        BadFile{"enabled = true\nhost = h\nport = 18x\n", "mqtt.conf line 3: bad value \"18x\" for port"},
        BadFile{"enabled = true\nhost = h\nkeepalive = 2\n", "mqtt.conf line 3: bad value \"2\" for keepalive"},
        BadFile{"enabled = true\nhost = h\nsite = kiosk/17\n", "mqtt.conf line 3: bad value \"kiosk/17\" for site"},
        BadFile{"enabled = true\nhost = h\nprefix = a/#\n", "mqtt.conf line 3: bad value \"a/#\" for prefix"},
        BadFile{"enabled = true\nhost = h\nprefix = a//b\n", "mqtt.conf line 3: bad value \"a//b\" for prefix"},
        BadFile{"enabled = true\nhost = h\ndiscovery_prefix = ha/+\n",
                "mqtt.conf line 3: bad value \"ha/+\" for discovery_prefix"},
        BadFile{"enabled = true\nhost = h\nhost = i\n", "mqtt.conf line 3: host is given twice"},
        BadFile{"enabled = true\n= x\n", "mqtt.conf line 2: a value without a key"},
        BadFile{"enabled = true\nport = 1883\n", "mqtt.conf line 3: enabled = true needs a host"},
        BadFile{"enabled = true\nhost = h\nca_file = ca\ncert_file = c\n",
                "mqtt.conf line 4: cert_file and key_file go together"},
        BadFile{"enabled = true\nhost = h\npassword_file = p\n",
                "mqtt.conf line 3: password_file needs a username"},
        BadFile{"enabled = true\nhost = h\nusername = a\x01b\n",
                "mqtt.conf line 3: the value of username is too long or holds control characters"}));

TEST(RemoteConfig, SiteNamesAreLettersDigitsDashAndUnderscore)
{
    EXPECT_TRUE(IsValidSiteName("kiosk-17_B"));
    EXPECT_FALSE(IsValidSiteName(""));
    EXPECT_FALSE(IsValidSiteName("kiosk 17"));
    EXPECT_FALSE(IsValidSiteName("+"));
    EXPECT_FALSE(IsValidSiteName(std::string(65, 'a')));
    EXPECT_TRUE(IsValidSiteName(DefaultSiteName()));
}

TEST(RemoteConfig, FileIsOptionalAndThePasswordFileMustBePrivate)
{
    TempDataFolder folder;
    const std::string dir = folder.Root();
    EXPECT_EQ(LoadRemoteConfig(dir).State, RemoteConfigState::Absent);

    WriteWholeFile(dir + "/mqtt.conf", "enabled = true\nhost = 127.0.0.1\nusername = kiosk\npassword_file = pw\n");
    WriteWholeFile(dir + "/pw", "s3cret\n");
    ::chmod((dir + "/pw").c_str(), 0640);
    auto result = LoadRemoteConfig(dir);
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_EQ(result.Error, "mqtt.conf line 4: password_file \"" + dir +
                                "/pw\" can be read by group or others (chmod 600 it)");

    ::chmod((dir + "/pw").c_str(), 0600);
    result = LoadRemoteConfig(dir);
    ASSERT_EQ(result.State, RemoteConfigState::Enabled) << result.Error;
    EXPECT_EQ(result.Config.Password, "s3cret");

    ::unlink((dir + "/pw").c_str());
    result = LoadRemoteConfig(dir);
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_NE(result.Error.find("mqtt.conf line 4: password_file"), std::string::npos) << result.Error;

    WriteWholeFile(dir + "/mqtt.conf", std::string(CRemoteConfig::kMaxFileBytes + 1, '#'));
    result = LoadRemoteConfig(dir);
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_NE(result.Error.find("larger than"), std::string::npos) << result.Error;
}

TEST(RemoteConfig, AFifoFolderDeviceOrOversizedFileInPlaceOfAnyFileIsRefusedAtOnce)
{
    // Nobody writes to these FIFOs: a blocking open would wait for ever.
    TempDataFolder folder;
    const std::string dir = folder.Root();
    ASSERT_EQ(::mkfifo((dir + "/mqtt.conf").c_str(), 0600), 0);
    auto result = LoadRemoteConfig(dir);
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_EQ(result.Error, "mqtt.conf cannot be read: not a regular file");

    ::unlink((dir + "/mqtt.conf").c_str());
    WriteWholeFile(dir + "/mqtt.conf", "enabled = true\nhost = 127.0.0.1\nusername = kiosk\npassword_file = pw\n");
    ASSERT_EQ(::mkfifo((dir + "/pw").c_str(), 0600), 0);
    result = LoadRemoteConfig(dir);
    EXPECT_EQ(result.State, RemoteConfigState::Invalid);
    EXPECT_EQ(result.Error, "mqtt.conf line 4: password_file \"" + dir + "/pw\" cannot be read: not a regular file");

    // Every file for the TLS connection goes through the same reader before the library sees it.
    ::unlink((dir + "/pw").c_str());
    ASSERT_EQ(::mkfifo((dir + "/ca.fifo").c_str(), 0600), 0);
    ASSERT_TRUE(CreateDirectoryTree(dir + "/certs"));
    WriteWholeFile(dir + "/ca.crt", "-----BEGIN CERTIFICATE-----\n");
    WriteWholeFile(dir + "/huge.crt", std::string(CRemoteConfig::kMaxTlsFileBytes + 1, 'x'));
    const struct
    {
        std::string lines;
        std::string error;
    } files[] = {
        {"ca_file = ca.fifo\n", "line 3: ca_file \"" + dir + "/ca.fifo\" cannot be read: not a regular file"},
        {"ca_file = huge.crt\n", "line 3: ca_file \"" + dir + "/huge.crt\" cannot be read: "},
        {"ca_file = ca.crt\ncert_file = certs\nkey_file = ca.crt\n",
         "line 4: cert_file \"" + dir + "/certs\" cannot be read: not a regular file"},
        {"ca_file = ca.crt\ncert_file = ca.crt\nkey_file = /dev/zero\n",
         "line 5: key_file \"/dev/zero\" cannot be read: not a regular file"},
    };
    for (const auto& file : files)
    {
        WriteWholeFile(dir + "/mqtt.conf", "enabled = true\nhost = 127.0.0.1\n" + file.lines);
        result = LoadRemoteConfig(dir);
        EXPECT_EQ(result.State, RemoteConfigState::Invalid) << file.lines;
        EXPECT_TRUE(result.Error.starts_with("mqtt.conf " + file.error)) << result.Error;
    }
    WriteWholeFile(dir + "/mqtt.conf", "enabled = true\nhost = 127.0.0.1\nca_file = ca.crt\n");
    EXPECT_EQ(LoadRemoteConfig(dir).State, RemoteConfigState::Enabled);
}

TEST(RemoteConfig, TheSampleInTheHelpIsAValidFile)
{
    const std::string help = ReadWholeFile(std::string(QM_SOURCE_DIR) + "/res/Quillmere_Help.html");
    const auto start = help.find("<pre>\n# This site's broker connection");
    ASSERT_NE(start, std::string::npos);
    const auto end = help.find("</pre>", start);
    const auto result = ParseRemoteConfig(help.substr(start + 5, end - start - 5), "thishost");
    ASSERT_EQ(result.State, RemoteConfigState::Enabled) << result.Error;
    EXPECT_EQ(result.Config.BaseTopic(), "quillmere/kiosk-17");
    EXPECT_EQ(result.Config.PasswordFile, "mqtt.password");
}
