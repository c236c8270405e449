#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config/AppSettings.h"
#include "config/FileAccess.h"
#include "core/DataFolder.h"
#include "tests/support/TempDataFolder.h"

namespace fs = std::filesystem;

namespace
{
std::set<std::string> FilesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::string SettingsWithComPort(int comPort)
{
    CAppSettings settings;
    settings.SetComPort(comPort);
    return settings.GetSettingsXml();
}

// Runs fn in a child process and returns its exit code; -1 when it did not exit normally.
template <typename Fn>
int RunInChild(Fn fn)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

constexpr uid_t kNobody = 65534;
}

TEST(SettingsSave, CreatesTheDataFolderAndLeavesOnlyTheFile)
{
    TempDataFolder folder;
    ASSERT_FALSE(fs::exists(folder.DataFolder()));
    CAppSettings settings;
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});
    EXPECT_EQ(fs::status(CAppSettings::GetSettingsFilePath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(SettingsSave, ReplacesTheOldFileAndKeepsItsPermissions)
{
    TempDataFolder folder;
    CAppSettings settings;
    ASSERT_TRUE(settings.Save());
    const std::string path = CAppSettings::GetSettingsFilePath();
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);

    settings.SetComPort(8);
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(ReadWholeFile(path), SettingsWithComPort(8));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});
}

TEST(SettingsSave, ReadOnlyFolderLeavesTheOldFileAndReportsFailure)
{
    TempDataFolder folder;
    CAppSettings settings;
    ASSERT_TRUE(settings.Save());
    const std::string path = CAppSettings::GetSettingsFilePath();
    const std::string before = ReadWholeFile(path);
    settings.SetComPort(9);

    // Root writes into read-only folders; the save is then tried as an ordinary user.
    const bool asRoot = geteuid() == 0;
    for (fs::path p = folder.DataFolder(); p != fs::path(folder.Root()).parent_path(); p = p.parent_path())
        fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(folder.DataFolder(), fs::perms::owner_write, fs::perm_options::remove);
    const int saved = RunInChild([&] {
        if (asRoot && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
            return 2;
        return settings.Save() ? 1 : 0;
    });
    fs::permissions(folder.DataFolder(), fs::perms::owner_write, fs::perm_options::add);

    EXPECT_EQ(saved, 0);
    EXPECT_EQ(ReadWholeFile(path), before);
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});
}

TEST(SettingsSave, VanishedFolderWritesNothing)
{
    TempDataFolder folder;
    const std::string gone = JoinPath(folder.Root(), "gone");
    CAppSettings settings;
    EXPECT_FALSE(settings.SaveToFile(JoinPath(gone, "settings.xml")));
    EXPECT_FALSE(fs::exists(gone));
}

TEST(SettingsSave, FailedRenameLeavesNoTemporaryFile)
{
    TempDataFolder folder;
    const std::string path = CAppSettings::GetSettingsFilePath();
    // A folder where the file should be: the rename over it must fail.
    ASSERT_TRUE(fs::create_directories(JoinPath(path, "inside")));
    CAppSettings settings;
    EXPECT_FALSE(settings.Save());
    EXPECT_TRUE(fs::is_directory(JoinPath(path, "inside")));
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});
}

TEST(SettingsSave, OnlyTheLeftoverOfItsOwnInterruptedSaveIsRemoved)
{
    TempDataFolder folder;
    const std::string elsewhere = JoinPath(folder.Root(), "shared");
    fs::create_directories(elsewhere);
    fs::create_directories(folder.DataFolder());
    // A linked settings file: the temporaries go beside the link's target, among other files.
    WriteWholeFile(JoinPath(elsewhere, "real.xml"), "old");
    fs::create_symlink(JoinPath(elsewhere, "real.xml"), CAppSettings::GetSettingsFilePath());
    const std::string prefix = TemporaryFilePrefix(JoinPath(elsewhere, "real.xml"));
    const std::string ours = JoinPath(elsewhere, prefix + "Ab12Cd");
    const std::string theirs = JoinPath(elsewhere, prefix + "Zz99Yy");
    WriteWholeFile(ours, "<Settings><Com");
    WriteWholeFile(theirs, "another save under way");
    // What a save killed after making its temporary file leaves in the program's folder.
    WriteWholeFile(JoinPath(folder.DataFolder(), ".settings.xml.saving"), ours);

    CAppSettings settings;
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(FilesIn(elsewhere), (std::set<std::string>{"real.xml", prefix + "Zz99Yy"}));
    EXPECT_EQ(ReadWholeFile(theirs), "another save under way");
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});

    // A note naming a file anywhere else is not obeyed.
    const std::string outside = JoinPath(folder.Root(), prefix + "Qq11Ww");
    WriteWholeFile(outside, "x");
    WriteWholeFile(JoinPath(folder.DataFolder(), ".settings.xml.saving"), outside);
    ASSERT_TRUE(settings.Save());
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(theirs));
}

TEST(SettingsSave, SymbolicLinkIsFollowedNotReplaced)
{
    TempDataFolder folder;
    const std::string elsewhere = JoinPath(folder.Root(), "shared");
    fs::create_directories(elsewhere);
    fs::create_directories(folder.DataFolder());
    const std::string real = JoinPath(elsewhere, "real.xml");
    WriteWholeFile(real, "old");
    fs::create_symlink(real, CAppSettings::GetSettingsFilePath());

    CAppSettings settings;
    settings.SetComPort(3);
    ASSERT_TRUE(settings.Save());
    EXPECT_TRUE(fs::is_symlink(CAppSettings::GetSettingsFilePath()));
    EXPECT_EQ(ReadWholeFile(real), SettingsWithComPort(3));
    EXPECT_EQ(FilesIn(elsewhere), std::set<std::string>{"real.xml"});
}

TEST(SettingsSave, KilledWhileSavingLeavesTheOldOrTheNewFile)
{
    TempDataFolder folder;
    // Large documents make each save long enough to be cut at many points.
    auto makeSettings = [](char fill, int comPort) {
        auto settings = std::make_unique<CAppSettings>();
        settings->SetComPort(comPort);
        settings->FindRelaySetting(1)->SetName(std::string(512 * 1024, fill));
        return settings;
    };
    const auto first = makeSettings('a', 1);
    const auto second = makeSettings('b', 2);
    const std::string firstBytes = first->GetSettingsXml();
    const std::string secondBytes = second->GetSettingsXml();
    ASSERT_TRUE(first->Save());

    for (int round = 0; round < 4; ++round)
    {
        SCOPED_TRACE(round);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            for (int i = 0; i < 2000; ++i)
                (i % 2 ? first : second)->Save();
            _exit(0);
        }
        // While it saves, every reader sees one whole document; then it dies mid-way.
        int tornReads = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(60 + 37 * round);
        while (std::chrono::steady_clock::now() < until)
        {
            const std::string seen = ReadWholeFile(CAppSettings::GetSettingsFilePath());
            tornReads += seen != firstBytes && seen != secondBytes;
        }
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(tornReads, 0);

        const std::string onDisk = ReadWholeFile(CAppSettings::GetSettingsFilePath());
        EXPECT_TRUE(onDisk == firstBytes || onDisk == secondBytes) << "torn file of " << onDisk.size() << " bytes";
        CAppSettings loaded;
        EXPECT_TRUE(loaded.Load());
        EXPECT_TRUE(loaded.GetComPort() == 1 || loaded.GetComPort() == 2);
    }
    // The next save tidies whatever the killed ones left.
    ASSERT_TRUE(first->Save());
    EXPECT_EQ(FilesIn(folder.DataFolder()), std::set<std::string>{"settings.xml"});
}
