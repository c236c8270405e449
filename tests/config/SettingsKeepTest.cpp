#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "config/AppSettings.h"
#include "config/SettingsDocument.h"
#include "config/SettingsFile.h"
#include "core/DataFolder.h"
#include "tests/support/TempDataFolder.h"

namespace fs = std::filesystem;

namespace
{
// Two monitors on one relay; laid out by hand, as an operator's editor leaves it.
std::string OperatorFile(int comPort, int flappingResets)
{
    return "<Settings>\n  <ComPort>" + std::to_string(comPort) +
           "</ComPort>\n  <NetworkMonitors>\n"
           "    <NetworkMonitor><EventName>Flapping</EventName><Target>10.0.0.1</Target><AutoResetLimit>3</AutoResetLimit>"
           "<CurrentResetCount>" +
           std::to_string(flappingResets) +
           "</CurrentResetCount></NetworkMonitor>\n"
           "    <NetworkMonitor><EventName>Steady</EventName><Target>10.0.0.2</Target></NetworkMonitor>\n"
           "  </NetworkMonitors>\n</Settings>\n";
}

std::int64_t ModifiedNs(const std::string& path)
{
    return CSettingsFile::FingerprintOf(path).ModifiedNs;
}

CNetworkMonitor& Monitor(CAppSettings& settings, std::size_t at)
{
    return *settings.GetNetworkMonitors().at(at);
}

// What the run has counted: power cycles (as the file would store them) and failures.
void Count(CAppSettings& settings, std::int32_t resets, std::int32_t failures)
{
    Monitor(settings, 0).SetCurrentResetCount(resets);
    Monitor(settings, 0).RestoreFailureCount(failures);
}
}

using Kind = CSettingsFile::SaveResult::Kind;

// The operator's file is never written over with something older than itself, and a run's
// counts are never handed back by an edit, a reload or a stop.
TEST(SettingsKeep, AnEditOnDiskWinsAndKeepsWhatTheRunCounted)
{
    TempDataFolder folder;
    fs::create_directories(folder.DataFolder());
    const std::string path = CAppSettings::GetSettingsFilePath();
    WriteWholeFile(path, OperatorFile(7, 1));
    CAppSettings settings;
    CSettingsFile file(path);
    ASSERT_EQ(file.Read(settings).Result, CSettingsReading::Outcome::Read);

    // Nothing changed anywhere: the file keeps its bytes and its time.
    const std::int64_t before = ModifiedNs(path);
    EXPECT_EQ(file.Save(settings).What, Kind::Unchanged);
    EXPECT_EQ(ReadWholeFile(path), OperatorFile(7, 1));
    EXPECT_EQ(ModifiedNs(path), before);

    // A reload after an edit: the edit takes effect, the counts stay the run's.
    Count(settings, 3, 2);
    WriteWholeFile(path, OperatorFile(8, 1));
    ASSERT_EQ(file.ReadAgain(settings).Result, CSettingsReading::Outcome::Read);
    EXPECT_EQ(settings.GetComPort(), 8);
    EXPECT_EQ(Monitor(settings, 0).GetCurrentResetCount(), 3);
    EXPECT_EQ(Monitor(settings, 0).GetFailureCount(), 2);
    EXPECT_EQ(Monitor(settings, 1).GetFailureCount(), 0);

    // An edit while running, then the stop: the newer file is written with the run's count.
    WriteWholeFile(path, OperatorFile(9, 1));
    const CSettingsFile::SaveResult kept = file.Save(settings);
    EXPECT_EQ(kept.What, Kind::KeptNewer);
    EXPECT_NE(kept.Line.find("changed on disk"), std::string::npos) << kept.Line;
    CAppSettings saved;
    ASSERT_TRUE(saved.LoadFromFile(path));
    EXPECT_EQ(saved.GetComPort(), 9);
    EXPECT_EQ(Monitor(saved, 0).GetCurrentResetCount(), 3);

    // The next start reads what the last one wrote, and writes nothing it did not change.
    ASSERT_EQ(file.Read(settings).Result, CSettingsReading::Outcome::Read);
    EXPECT_EQ(file.Save(settings).What, Kind::Unchanged);

    // A count the operator set by hand is the operator's word, on a reload as at a stop.
    WriteWholeFile(path, OperatorFile(9, 0));
    ASSERT_EQ(file.ReadAgain(settings).Result, CSettingsReading::Outcome::Read);
    EXPECT_EQ(Monitor(settings, 0).GetCurrentResetCount(), 0);
    Count(settings, 1, 0);
    WriteWholeFile(path, OperatorFile(10, 2));
    EXPECT_EQ(file.Save(settings).What, Kind::KeptNewer);
    ASSERT_TRUE(saved.LoadFromFile(path));
    EXPECT_EQ(Monitor(saved, 0).GetCurrentResetCount(), 2);

    // Broken on disk: a reload keeps what runs, and the stop leaves the bytes alone.
    const std::string broken = "<Settings>\n<ComPort>11</Status>\n";
    WriteWholeFile(path, broken);
    const CSettingsReading again = file.ReadAgain(settings);
    EXPECT_EQ(again.Result, CSettingsReading::Outcome::Unreadable);
    EXPECT_EQ(again.Why.rfind("line 2: ", 0), 0u) << again.Why;
    EXPECT_EQ(settings.GetComPort(), 9);
    const CSettingsFile::SaveResult refused = file.Save(settings);
    EXPECT_EQ(refused.What, Kind::Failed);
    EXPECT_NE(refused.Line.find("cannot be read (line 2: "), std::string::npos) << refused.Line;
    EXPECT_EQ(ReadWholeFile(path), broken);
}

TEST(SettingsKeep, AnUnreadableFileIsCopiedAsideBeforeItIsWrittenOver)
{
    TempDataFolder folder;
    fs::create_directories(folder.DataFolder());
    const std::string path = CAppSettings::GetSettingsFilePath();
    const std::string bytes = "<Settings><ComPort>7</Status>";
    WriteWholeFile(path, bytes);
    CAppSettings settings;
    CSettingsFile file(path);
    EXPECT_EQ(file.Read(settings).Result, CSettingsReading::Outcome::Unreadable);
    // Not kept yet: not written over.
    EXPECT_EQ(file.Save(settings).What, Kind::Failed);
    EXPECT_EQ(ReadWholeFile(path), bytes);

    std::string why;
    const std::string copy = file.KeepUnreadable(&why);
    ASSERT_FALSE(copy.empty()) << why;
    EXPECT_EQ(copy.rfind(path + ".unreadable-", 0), 0u) << copy;
    EXPECT_EQ(file.Save(settings).What, Kind::Written);
    EXPECT_EQ(ReadWholeFile(copy), bytes);
    EXPECT_EQ(ReadWholeFile(path), settings.BuildDocument()->GetXml());
}

// The window program reads silently; --check names each of these with its line.
TEST(SettingsKeep, ReadingNamesWhatItDidNotTakeAsWritten)
{
    const std::string text = "<Settings>\n<ComPrt>9</ComPrt>\n<ComPort>7x</ComPort>\n<LogLevel>Loud</LogLevel>\n"
                             "<Relays><Relay><Index>1</Index><Permission>Off</Permission><Colour/></Relay></Relays>\n"
                             "<NetworkMonitors><NetworkMonitor><Action>Reboot</Action>\n"
                             "<GraceMinutes>90</GraceMinutes><Threshold> 4 </Threshold></NetworkMonitor>"
                             "</NetworkMonitors></Settings>";
    CAppSettings settings;
    std::vector<std::string> notes;
    ASSERT_TRUE(settings.LoadFromMemory(text.data(), text.size(), nullptr, &notes));
    EXPECT_EQ(settings.GetComPort(), 7);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "line 2: unknown element <ComPrt>",
                         "line 3: ComPort \"7x\" read as 7",
                         "line 4: LogLevel \"Loud\" read as \"Events & Errors\"",
                         "line 5: unknown element <Colour>",
                         "line 5: Permission \"Off\" read as \"On/Off\"",
                         "line 6: Action \"Reboot\" read as \"Cycle power every\"",
                         "line 7: GraceMinutes \"90\" read as 60",
                     }));
}
