#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "RecordingObserver.h"
#include "config/AppSettings.h"
#include "config/SettingsDocument.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "tests/support/TempDataFolder.h"

namespace
{
std::string DefaultDocument()
{
    return std::string("<Settings><ComPort>5</ComPort>"
                       "<StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>"
                       "<LogLevel>Events &amp; Errors</LogLevel>"
                       "<EnableMemoryCheck>1</EnableMemoryCheck>"
                       "<MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes>"
                       "<Relays>"
                       "<Relay><Index>1</Index><Name>ISP Equipment</Name><Permission>Cycle</Permission></Relay>"
                       "<Relay><Index>2</Index><Name>Player</Name><Permission>Cycle</Permission></Relay>"
                       "<Relay><Index>3</Index><Name>Digital Display</Name><Permission>On/Off</Permission></Relay>"
                       "<Relay><Index>4</Index><Name>Aux. Power Control</Name><Permission>On/Off</Permission></Relay>"
                       "</Relays>"
                       "<NetworkMonitors>"
                       "<NetworkMonitor><EventName>ISP Equipment</EventName><Target>") +
           CNetworkMonitor::DefaultTarget +
           "</Target><PollIntervalInMinutes>15</PollIntervalInMinutes><RelayIndex>1</RelayIndex>"
           "<Threshold>4</Threshold><Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>8</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>"
           "<NetworkMonitor><EventName>Player</EventName><Target>192.168.0.111</Target>"
           "<PollIntervalInMinutes>5</PollIntervalInMinutes><RelayIndex>2</RelayIndex><Threshold>4</Threshold>"
           "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>"
           "<NetworkMonitor><EventName>VIP</EventName><Target>192.168.0.112</Target>"
           "<PollIntervalInMinutes>5</PollIntervalInMinutes><RelayIndex>2</RelayIndex><Threshold>4</Threshold>"
           "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>"
           "<NetworkMonitor><EventName>Web cam</EventName><Target>192.168.0.249</Target>"
           "<PollIntervalInMinutes>5</PollIntervalInMinutes><RelayIndex>1</RelayIndex><Threshold>4</Threshold>"
           "<Action>Cycle power</Action><CycleEveryErrorCount>1</CycleEveryErrorCount>"
           "<AutoResetLimit>3</AutoResetLimit><CurrentResetCount>0</CurrentResetCount></NetworkMonitor>"
           "</NetworkMonitors></Settings>";
}

// Loads text into fresh settings; the test then looks at what changed.
struct Loaded
{
    explicit Loaded(const std::string& text) { read = settings.LoadFromText(text); }
    CAppSettings settings;
    bool read = false;
};

std::string InSettings(const std::string& body)
{
    return "<Settings>" + body + "</Settings>";
}

// UTF-8 to UTF-16 code units, with surrogate pairs above the basic plane.
std::u16string ToUtf16(const std::string& utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();)
    {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        int extra;
        if (b < 0x80) { cp = b; extra = 0; }
        else if (b < 0xE0) { cp = b & 0x1F; extra = 1; }
        else if (b < 0xF0) { cp = b & 0x0F; extra = 2; }
        else { cp = b & 0x07; extra = 3; }
        for (int k = 1; k <= extra; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        }
        else
            out += static_cast<char16_t>(cp);
    }
    return out;
}

std::string Utf16Bytes(const std::u16string& text, bool bigEndian)
{
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text)
    {
        const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? hi : lo;
        bytes += bigEndian ? lo : hi;
    }
    return bytes;
}

void ExpectDefaults(const CAppSettings& s)
{
    EXPECT_EQ(s.GetComPort(), 5);
    EXPECT_EQ(s.GetStatusPollIntervalInMinutes(), 30);
    EXPECT_EQ(s.GetLogLevel(), LogLevelEventsAndErrors);
    EXPECT_TRUE(s.IsMemoryCheckEnabled());
    EXPECT_EQ(s.GetMaxMemorySizeInBytes(), 26214400);
    EXPECT_EQ(s.GetSettingsXml(), DefaultDocument());
}

const char* const kAwkwardNames[] = {
    "Tom & Jerry's <router> \"A\" > B",
    "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa1",   // accents, CJK, an emoji
    "  padded  ",
    "   ",
    "",
    "tab\there",
    "two\r\nlines\rand\nmore",
    "]]> <![CDATA[x]]> &amp; &#65;",
};
}

TEST(SettingsDocument, UntouchedDefaultsSaveExactlyTheReferenceDocument)
{
    TempDataFolder folder;
    const CAppSettings settings;
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(ReadWholeFile(JoinPath(folder.DataFolder(), "settings.xml")), DefaultDocument());
    EXPECT_EQ(settings.GetSettingsXml(), DefaultDocument());
}

TEST(SettingsDocument, EmptyListsAreEmptyElements)
{
    Loaded loaded(InSettings("<Relays/><NetworkMonitors></NetworkMonitors>"));
    const std::string xml = loaded.settings.GetSettingsXml();
    EXPECT_NE(xml.find("<Relays/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<NetworkMonitors/>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<Relay>"), std::string::npos);
}

TEST(SettingsDocument, SettingsXmlIsOneLine)
{
    CAppSettings settings;
    settings.FindRelaySetting(1)->SetName("a\nb\r\nc");
    const std::string xml = settings.GetSettingsXml();
    EXPECT_EQ(xml.find('\n'), std::string::npos);
    EXPECT_EQ(xml.find('\r'), std::string::npos);
    EXPECT_NE(xml.find("<Name>a b"), std::string::npos) << xml;
}

TEST(SettingsRoundTrip, AwkwardNamesAndTargetsKeepEveryCharacter)
{
    TempDataFolder folder;
    {
        CAppSettings settings;
        auto relays = settings.GetRelaySettings();
        while (settings.GetNetworkMonitors().size() < std::size(kAwkwardNames))
            settings.AddNetworkMonitor();
        for (std::size_t i = 0; i < std::size(kAwkwardNames); ++i)
        {
            if (i < relays.size())
                relays[i]->SetName(kAwkwardNames[i]);
            settings.GetNetworkMonitors()[i]->SetEventName(kAwkwardNames[i]);
            settings.GetNetworkMonitors()[i]->SetTarget(std::string(kAwkwardNames[i]) + "!");
        }
        ASSERT_TRUE(settings.Save());
    }
    CAppSettings loaded;
    ASSERT_TRUE(loaded.Load());
    auto relays = loaded.GetRelaySettings();
    ASSERT_EQ(relays.size(), 4u);
    ASSERT_EQ(loaded.GetNetworkMonitors().size(), std::size(kAwkwardNames));
    for (std::size_t i = 0; i < std::size(kAwkwardNames); ++i)
    {
        SCOPED_TRACE(i);
        if (i < relays.size())
        {
            EXPECT_EQ(relays[i]->GetName(), kAwkwardNames[i]);
        }
        EXPECT_EQ(loaded.GetNetworkMonitors()[i]->GetEventName(), kAwkwardNames[i]);
        EXPECT_EQ(loaded.GetNetworkMonitors()[i]->GetTarget(), std::string(kAwkwardNames[i]) + "!");
    }
}

TEST(SettingsRoundTrip, EveryStoredFieldComesBack)
{
    TempDataFolder folder;
    {
        CAppSettings settings;
        settings.SetComPort(-2);
        settings.SetStatusPollIntervalInMinutes(INT32_MAX);
        settings.SetLogLevel(LogLevelDebug);
        settings.FindRelaySetting(4)->SetPermission(RelayPermissionBoth);
        CNetworkMonitor* m = settings.AddNetworkMonitor();
        m->SetPollIntervalInMinutes(7);
        m->SetRelayIndex(3);
        m->SetThreshold(INT32_MIN);
        m->SetAction(MonitorActionDoNothing);
        m->SetCycleEveryErrorCount(6);
        m->SetAutoResetLimit(9);
        m->SetCurrentResetCount(4);
        settings.GetNetworkMonitors()[0]->SetAction(MonitorActionCyclePowerEvery);
        ASSERT_TRUE(settings.Save());
    }
    CAppSettings loaded;
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.GetComPort(), -2);
    EXPECT_EQ(loaded.GetStatusPollIntervalInMinutes(), INT32_MAX);
    EXPECT_EQ(loaded.GetLogLevel(), LogLevelDebug);
    EXPECT_EQ(loaded.FindRelaySetting(4)->GetPermission(), RelayPermissionBoth);
    ASSERT_EQ(loaded.GetNetworkMonitors().size(), 5u);
    EXPECT_EQ(loaded.GetNetworkMonitors()[0]->GetAction(), MonitorActionCyclePowerEvery);
    const CNetworkMonitor& m = *loaded.GetNetworkMonitors()[4];
    EXPECT_EQ(m.GetPollIntervalInMinutes(), 7);
    EXPECT_EQ(m.GetRelayIndex(), 3);
    EXPECT_EQ(m.GetThreshold(), INT32_MIN);
    EXPECT_EQ(m.GetAction(), MonitorActionDoNothing);
    EXPECT_EQ(m.GetCycleEveryErrorCount(), 6);
    EXPECT_EQ(m.GetAutoResetLimit(), 9);
    EXPECT_EQ(m.GetCurrentResetCount(), 4);
}

TEST(SettingsLoad, MissingFileKeepsDefaultsAndCreatesTheFolder)
{
    TempDataFolder folder;
    CAppSettings settings;
    EXPECT_FALSE(settings.Load());
    ExpectDefaults(settings);
    struct stat info{};
    EXPECT_EQ(stat(folder.DataFolder().c_str(), &info), 0);
}

TEST(SettingsLoad, FileThatIsNotXmlOrEmptyKeepsDefaults)
{
    for (const std::string& text : {std::string(), std::string("   \n"), std::string("ComPort=7"),
                                   std::string("\x89PNG\r\n\x1a\n\0\0", 10), std::string("<Settings><ComPort>7</ComPort>"),
                                   std::string("<Settings><ComPort>7</Comport></Settings>"),
                                   std::string("<A><ComPort>7</ComPort></A><B/>"),
                                   std::string("<Configuration><ComPort>7</ComPort></Configuration>")})
    {
        SCOPED_TRACE(text);
        Loaded loaded(text);
        EXPECT_FALSE(loaded.read);
        ExpectDefaults(loaded.settings);
    }
}

TEST(SettingsLoad, OnlyComPortChangesOnlyComPort)
{
    Loaded loaded(InSettings("<ComPort>7</ComPort>"));
    ASSERT_TRUE(loaded.read);
    EXPECT_EQ(loaded.settings.GetComPort(), 7);
    std::string expected = DefaultDocument();
    expected.replace(expected.find("<ComPort>5"), 10, "<ComPort>7");
    EXPECT_EQ(loaded.settings.GetSettingsXml(), expected);
}

TEST(SettingsLoad, EveryScalarIsRead)
{
    Loaded loaded("<Settings><ComPort>12</ComPort><StatusPollIntervalInMinutes>2</StatusPollIntervalInMinutes>"
                  "<LogLevel>Debug</LogLevel><EnableMemoryCheck>0</EnableMemoryCheck>"
                  "<MaxMemorySizeInBytes>1048576</MaxMemorySizeInBytes></Settings>");
    ASSERT_TRUE(loaded.read);
    EXPECT_EQ(loaded.settings.GetComPort(), 12);
    EXPECT_EQ(loaded.settings.GetStatusPollIntervalInMinutes(), 2);
    EXPECT_EQ(loaded.settings.GetLogLevel(), LogLevelDebug);
    EXPECT_FALSE(loaded.settings.IsMemoryCheckEnabled());
    EXPECT_EQ(loaded.settings.GetMaxMemorySizeInBytes(), 1048576);
}

TEST(SettingsLoad, NamesAreComparedWithTheirCaseAndUnknownElementsSkipped)
{
    Loaded loaded(InSettings("<comport>7</comport><COMPORT>8</COMPORT><ComPort >9</ComPort >"
                             "<Comment>hello</Comment><loglevel>Debug</loglevel><relays/>"));
    ASSERT_TRUE(loaded.read);
    EXPECT_EQ(loaded.settings.GetComPort(), 9);
    EXPECT_EQ(loaded.settings.GetLogLevel(), LogLevelEventsAndErrors);
    EXPECT_EQ(loaded.settings.GetRelaySettings().size(), 4u);
}

TEST(SettingsLoad, LaterElementsWin)
{
    Loaded loaded(InSettings("<ComPort>1</ComPort><LogLevel>Debug</LogLevel><ComPort>2</ComPort>"
                             "<Relays><Relay><Name>A</Name></Relay><Relay><Name>B</Name></Relay></Relays>"
                             "<LogLevel>debug</LogLevel>"
                             "<Relays><Relay><Name>C</Name></Relay></Relays>"));
    EXPECT_EQ(loaded.settings.GetComPort(), 2);
    EXPECT_EQ(loaded.settings.GetLogLevel(), LogLevelEventsAndErrors);
    const auto relays = loaded.settings.GetRelaySettings();
    ASSERT_EQ(relays.size(), 1u);
    EXPECT_EQ(relays[0]->GetName(), "C");
}

TEST(SettingsLoad, TextThatIsNotANumberReadsAsZero)
{
    Loaded loaded(InSettings("<ComPort>COM3</ComPort><StatusPollIntervalInMinutes></StatusPollIntervalInMinutes>"
                             "<EnableMemoryCheck>true</EnableMemoryCheck><MaxMemorySizeInBytes> 3abc</MaxMemorySizeInBytes>"));
    EXPECT_EQ(loaded.settings.GetComPort(), 0);
    EXPECT_EQ(loaded.settings.GetStatusPollIntervalInMinutes(), 0);
    EXPECT_FALSE(loaded.settings.IsMemoryCheckEnabled());
    EXPECT_EQ(loaded.settings.GetMaxMemorySizeInBytes(), 3);
}

TEST(SettingsLoad, MemoryCheckTwoReadsTrueAndIsWrittenAsOne)
{
    CAppSettings settings;
    ASSERT_TRUE(settings.LoadFromText(InSettings("<EnableMemoryCheck>0</EnableMemoryCheck>")));
    ASSERT_FALSE(settings.IsMemoryCheckEnabled());
    ASSERT_TRUE(settings.LoadFromText(InSettings("<EnableMemoryCheck>2</EnableMemoryCheck>")));
    EXPECT_TRUE(settings.IsMemoryCheckEnabled());
    EXPECT_NE(settings.GetSettingsXml().find("<EnableMemoryCheck>1</EnableMemoryCheck>"), std::string::npos);
}

TEST(SettingsLoad, TextIsAllCharacterDataOfTheElement)
{
    Loaded loaded(InSettings("<ComPort><!-- was 5 -->1<![CDATA[2]]><x>3</x></ComPort>"
                             "<Relays><Relay><Name>Door <![CDATA[<&>]]> cam</Name></Relay></Relays>"));
    EXPECT_EQ(loaded.settings.GetComPort(), 123);
    EXPECT_EQ(loaded.settings.GetRelaySettings()[0]->GetName(), "Door <&> cam");
}

TEST(SettingsLoad, ValuesOutsideTheEditorsRangesAreTakenUnchanged)
{
    Loaded loaded(InSettings("<ComPort>-3</ComPort><StatusPollIntervalInMinutes>99999999999</StatusPollIntervalInMinutes>"
                             "<NetworkMonitors><NetworkMonitor><Threshold>100000</Threshold>"
                             "<RelayIndex>-7</RelayIndex></NetworkMonitor></NetworkMonitors>"));
    EXPECT_EQ(loaded.settings.GetComPort(), -3);
    EXPECT_EQ(loaded.settings.GetStatusPollIntervalInMinutes(), INT32_MAX);
    EXPECT_EQ(loaded.settings.GetNetworkMonitors()[0]->GetThreshold(), 100000);
    EXPECT_EQ(loaded.settings.GetNetworkMonitors()[0]->GetRelayIndex(), -7);
}

TEST(SettingsLoad, EmptyListsReplaceTheDefaults)
{
    Loaded loaded(InSettings("<Relays></Relays><NetworkMonitors>\n  \n</NetworkMonitors>"));
    EXPECT_TRUE(loaded.settings.GetRelaySettings().empty());
    EXPECT_TRUE(loaded.settings.GetNetworkMonitors().empty());
    EXPECT_EQ(loaded.settings.FindRelaySetting(1), nullptr);
}

TEST(SettingsLoad, RelayEntriesOfAnyNameWithMissingPartsNumberedByPlace)
{
    Loaded loaded(InSettings("<Relays>"
                             "<Relay><Name>no index</Name><Permission>Both</Permission></Relay>"
                             "text between <!-- and a comment -->"
                             "<Relay><Index>9</Index><Name>no permission</Name></Relay>"
                             "<Switch><Index> 3abc</Index><Permission>on/off</Permission></Switch>"
                             "<Relay/>"
                             "<Relay><Index>5</Index><Permission>Cycle</Permission><Permission>Both</Permission></Relay>"
                             "</Relays>"));
    const auto relays = loaded.settings.GetRelaySettings();
    ASSERT_EQ(relays.size(), 5u);
    EXPECT_EQ(relays[0]->GetIndex(), 1);
    EXPECT_EQ(relays[0]->GetPermission(), RelayPermissionBoth);
    EXPECT_EQ(relays[1]->GetIndex(), 9);
    EXPECT_EQ(relays[1]->GetPermission(), RelayPermissionOnOff);
    EXPECT_EQ(relays[2]->GetIndex(), 3);
    EXPECT_EQ(relays[2]->GetName(), "");
    EXPECT_EQ(relays[2]->GetPermission(), RelayPermissionOnOff);
    EXPECT_EQ(relays[3]->GetIndex(), 4);
    // Within an entry the first child of a name counts.
    EXPECT_EQ(relays[4]->GetPermission(), RelayPermissionCycle);
    for (CRelaySetting* relay : relays)
        EXPECT_EQ(relay->GetObserverCount(), 1u);
}

TEST(SettingsLoad, MonitorWithOnlyNameAndTargetHasNewMonitorValues)
{
    Loaded loaded(InSettings("<NetworkMonitors><NetworkMonitor><EventName>Router</EventName>"
                             "<Target>127.0.0.1</Target></NetworkMonitor></NetworkMonitors>"));
    ASSERT_EQ(loaded.settings.GetNetworkMonitors().size(), 1u);
    const CNetworkMonitor& m = *loaded.settings.GetNetworkMonitors()[0];
    EXPECT_EQ(m.GetEventName(), "Router");
    EXPECT_EQ(m.GetTarget(), "127.0.0.1");
    EXPECT_EQ(m.GetPollIntervalInMinutes(), 30);
    EXPECT_EQ(m.GetRelayIndex(), 1);
    EXPECT_EQ(m.GetThreshold(), 3);
    EXPECT_EQ(m.GetAction(), MonitorActionCyclePower);
    EXPECT_EQ(m.GetCycleEveryErrorCount(), 1);
    EXPECT_EQ(m.GetAutoResetLimit(), 1);
    EXPECT_EQ(m.GetCurrentResetCount(), 0);
    EXPECT_EQ(m.GetObserverCount(), 1u);
}

TEST(SettingsLoad, StoredResetCountSurvivesTheOtherSettersWhateverTheElementOrder)
{
    Loaded loaded(InSettings("<NetworkMonitors><Mon><CurrentResetCount>2</CurrentResetCount>"
                             "<Target>127.0.0.1</Target><Threshold>4</Threshold><AutoResetLimit>8</AutoResetLimit>"
                             "<Action>cycle power</Action></Mon></NetworkMonitors>"));
    const CNetworkMonitor& m = *loaded.settings.GetNetworkMonitors()[0];
    EXPECT_EQ(m.GetCurrentResetCount(), 2);
    EXPECT_EQ(m.GetAutoResetLimit(), 8);
    EXPECT_EQ(m.GetAction(), MonitorActionCyclePowerEvery);
}

TEST(SettingsLoad, UnknownTextsFallBack)
{
    Loaded loaded(InSettings("<LogLevel>Verbose</LogLevel><Relays><Relay><Permission>Off</Permission></Relay></Relays>"
                             "<NetworkMonitors><NetworkMonitor><Action>Reboot</Action></NetworkMonitor>"
                             "<NetworkMonitor><Action>Do nothing</Action></NetworkMonitor></NetworkMonitors>"));
    EXPECT_EQ(loaded.settings.GetLogLevel(), LogLevelEventsAndErrors);
    EXPECT_EQ(loaded.settings.GetRelaySettings()[0]->GetPermission(), RelayPermissionOnOff);
    EXPECT_EQ(loaded.settings.GetNetworkMonitors()[0]->GetAction(), MonitorActionCyclePowerEvery);
    EXPECT_EQ(loaded.settings.GetNetworkMonitors()[1]->GetAction(), MonitorActionDoNothing);
}

TEST(SettingsLoad, LoadingRaisesNothing)
{
    CAppSettings settings;
    RecordingObserver manager;
    settings.Attach(&manager);
    ASSERT_TRUE(settings.LoadFromText(DefaultDocument()));
    ASSERT_TRUE(settings.LoadFromText(InSettings("<ComPort>3</ComPort><LogLevel>Debug</LogLevel>")));
    EXPECT_EQ(manager.Total(), 0u);
    settings.Detach(&manager);
}

TEST(SettingsLoad, DoctypeEntitiesAreNeitherExpandedNorFetched)
{
    TempDataFolder folder;
    const std::string secret = JoinPath(folder.Root(), "secret.txt");
    WriteWholeFile(secret, "TOPSECRET");
    std::string laughs = "<!ENTITY a \"lol\">";
    for (char c = 'b'; c <= 'k'; ++c)
        laughs += std::string("<!ENTITY ") + c + " \"&" + static_cast<char>(c - 1) + ";&" +
                  static_cast<char>(c - 1) + ";&" + static_cast<char>(c - 1) + ";&" + static_cast<char>(c - 1) +
                  ";&" + static_cast<char>(c - 1) + ";&" + static_cast<char>(c - 1) + ";\">";
    const std::string text = "<!DOCTYPE Settings [" + laughs + "<!ENTITY ext SYSTEM \"file://" + secret +
                             "\"><!ENTITY port \"8\">]>"
                             "<Settings><ComPort>&port;7</ComPort><Relays><Relay><Name>&ext;|&k;</Name></Relay>"
                             "</Relays></Settings>";

    const auto start = std::chrono::steady_clock::now();
    Loaded loaded(text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_TRUE(loaded.read);
    // "&port;7" is not a number once the entity stays unexpanded.
    EXPECT_EQ(loaded.settings.GetComPort(), 0);
    const std::string name = loaded.settings.GetRelaySettings()[0]->GetName();
    EXPECT_EQ(name.find("TOPSECRET"), std::string::npos);
    EXPECT_EQ(name.find("lol"), std::string::npos);
    EXPECT_LT(name.size(), 100u);
}

TEST(SettingsLoad, Utf16FilesWithAByteOrderMarkLoadLikeUtf8)
{
    const std::string name = "Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xa1 & co";
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Settings>\r\n  <ComPort>11</ComPort>\r\n"
                             "  <Relays><Relay><Index>2</Index><Name>Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xa1 &amp; co</Name>"
                             "</Relay></Relays>\r\n</Settings>\r\n";
    for (bool bigEndian : {false, true})
    {
        SCOPED_TRACE(bigEndian);
        TempDataFolder folder;
        ASSERT_TRUE(CreateDirectoryTree(folder.DataFolder()));
        WriteWholeFile(CAppSettings::GetSettingsFilePath(), Utf16Bytes(ToUtf16(text), bigEndian));
        CAppSettings settings;
        ASSERT_TRUE(settings.Load());
        EXPECT_EQ(settings.GetComPort(), 11);
        ASSERT_EQ(settings.GetRelaySettings().size(), 1u);
        EXPECT_EQ(settings.GetRelaySettings()[0]->GetName(), name);
        EXPECT_EQ(settings.GetRelaySettings()[0]->GetIndex(), 2);
    }
}

TEST(SettingsLoad, OtherEncodingsAndAUtf8ByteOrderMark)
{
    Loaded bom("\xEF\xBB\xBF" + InSettings("<ComPort>4</ComPort>"));
    EXPECT_EQ(bom.settings.GetComPort(), 4);
    Loaded latin1("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                  "<Settings><Relays><Relay><Name>Caf\xe9</Name></Relay></Relays></Settings>");
    ASSERT_TRUE(latin1.read);
    EXPECT_EQ(latin1.settings.GetRelaySettings()[0]->GetName(), "Caf\xc3\xa9");
}

TEST(SettingsLoad, TenMegabyteFileLoads)
{
    TempDataFolder folder;
    std::string big = "<Settings><ComPort>6</ComPort><!--" + std::string(2 * 1024 * 1024, 'c') + "-->" +
                      std::string(2 * 1024 * 1024, ' ') + "<Relays><Relay><Index>1</Index><Name>" + std::string(3 * 1024 * 1024, 'n') +
                      "</Name></Relay></Relays><NetworkMonitors>";
    while (big.size() < 10 * 1024 * 1024)
        big += "<NetworkMonitor><EventName>Host</EventName><Target>127.0.0.1</Target>"
               "<CurrentResetCount>1</CurrentResetCount></NetworkMonitor>";
    big += "</NetworkMonitors><LogLevel>Debug</LogLevel></Settings>";
    ASSERT_TRUE(CreateDirectoryTree(folder.DataFolder()));
    WriteWholeFile(CAppSettings::GetSettingsFilePath(), big);
    std::size_t monitors = 0;
    for (std::size_t p = big.find("<NetworkMonitor>"); p != std::string::npos; p = big.find("<NetworkMonitor>", p + 1))
        ++monitors;

    const auto start = std::chrono::steady_clock::now();
    CAppSettings settings;
    ASSERT_TRUE(settings.Load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(settings.GetComPort(), 6);
    EXPECT_EQ(settings.GetLogLevel(), LogLevelDebug);
    EXPECT_EQ(settings.GetRelaySettings()[0]->GetName().size(), 3u * 1024 * 1024);
    ASSERT_EQ(settings.GetNetworkMonitors().size(), monitors);
    EXPECT_EQ(settings.GetNetworkMonitors().back()->GetCurrentResetCount(), 1);
}

TEST(SettingsLoad, ListsStopAtTheirEntryLimit)
{
    std::string text = "<Settings><NetworkMonitors>";
    for (std::size_t i = 0; i < CAppSettings::MaxListEntries + 10; ++i)
        text += "<m/>";
    text += "</NetworkMonitors><Relays>";
    for (std::size_t i = 0; i < CAppSettings::MaxListEntries + 10; ++i)
        text += "<r/>";
    text += "</Relays><ComPort>8</ComPort></Settings>";
    Loaded loaded(text);
    EXPECT_EQ(loaded.settings.GetNetworkMonitors().size(), CAppSettings::MaxListEntries);
    EXPECT_EQ(loaded.settings.GetRelaySettings().size(), CAppSettings::MaxListEntries);
    EXPECT_EQ(loaded.settings.GetRelaySettings().back()->GetIndex(), static_cast<int>(CAppSettings::MaxListEntries));
    // Elements after an over-long list still count.
    EXPECT_EQ(loaded.settings.GetComPort(), 8);
}

TEST(SettingsLoad, OversizedSpecialOrMissingFilesAreNotRead)
{
    TempDataFolder folder;
    const std::string path = JoinPath(folder.Root(), "settings.xml");
    CAppSettings settings;
    EXPECT_FALSE(settings.LoadFromFile(path));

    // A sparse file: big on paper, cheap on disk, never read.
    WriteWholeFile(path, InSettings("<ComPort>7</ComPort>"));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(CAppSettings::MaxFileBytes) + 1), 0);
    EXPECT_FALSE(settings.LoadFromFile(path));
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A FIFO with no writer would block an ordinary open for ever.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(settings.LoadFromFile(path));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(unlink(path.c_str()), 0);

    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_FALSE(settings.LoadFromFile(path));
    ExpectDefaults(settings);
}

TEST(SettingsRoundTrip, MonitorsOfEveryKindAndAGracePeriodSurviveLoadAndSaveByteForByte)
{
    TempDataFolder folder;
    const std::string path = JoinPath(folder.DataFolder(), "settings.xml");
    {
        CAppSettings settings;
        settings.AddNetworkMonitor()->SetTarget("tcp://127.0.0.2:8022");
        settings.AddNetworkMonitor()->SetTarget("http://127.0.0.3:8080/health?full=1");
        CNetworkMonitor* https = settings.AddNetworkMonitor();
        https->SetTarget("https://127.0.0.4/");
        https->SetGraceMinutes(15);
        https->SetCurrentResetCount(2);
        settings.AddNetworkMonitor()->SetTarget("gopher://127.0.0.5/");   // refused, yet kept as written
        ASSERT_TRUE(settings.Save());
    }
    const std::string written = ReadWholeFile(path);
    // Only the monitor that has a grace period writes one.
    EXPECT_EQ(written.find("<GraceMinutes>15</GraceMinutes>"), written.rfind("<GraceMinutes>"));
    EXPECT_NE(written.find("<GraceMinutes>15</GraceMinutes>"), std::string::npos);
    CAppSettings loaded;
    ASSERT_TRUE(loaded.Load());
    const auto& monitors = loaded.GetNetworkMonitors();
    ASSERT_EQ(monitors.size(), 8u);
    EXPECT_EQ(monitors[6]->GetGraceMinutes(), 15);
    EXPECT_EQ(monitors[6]->GetCurrentResetCount(), 2);   // the grace, read first, clears nothing later
    EXPECT_EQ(monitors[5]->GetGraceMinutes(), 0);
    ASSERT_TRUE(loaded.Save());
    EXPECT_EQ(ReadWholeFile(path), written);
}
