#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/SingleInstanceLock.h"
#include "core/DataFolder.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// Whether a child process (another program, as far as flock is concerned) gets the locks.
bool AnotherProcessAcquires()
{
    const pid_t child = ::fork();
    if (child == 0)
    {
        CSingleInstanceLock other;
        ::_exit(other.Acquire() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}

TEST(SingleInstanceLock, LivesInTheDataFolderAndInAPrivateRuntimeFolderOnly)
{
    TempDataFolder folder;
    EXPECT_EQ(CSingleInstanceLock::GetDataFolderLockPath(), GetDataFolder() + "/QuillmereGlobalMutex.lock");
    ::chmod(folder.Root().c_str(), 0700);
    EXPECT_EQ(CSingleInstanceLock::GetSessionLockPath(), folder.Root() + "/QuillmereGlobalMutex.lock");

    // A runtime folder others may write, or none at all, is not used: never the shared /tmp.
    ::chmod(folder.Root().c_str(), 01777);
    EXPECT_EQ(CSingleInstanceLock::GetSessionLockPath(), "");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(CSingleInstanceLock::GetSessionLockPath(), "");
    ::setenv("XDG_RUNTIME_DIR", "relative/not/usable", 1);
    EXPECT_EQ(CSingleInstanceLock::GetSessionLockPath(), "");
}

TEST(SingleInstanceLock, ASecondHolderIsRefusedUntilTheFirstLetsGo)
{
    TempDataFolder folder;
    CSingleInstanceLock first;
    CSingleInstanceLock second;
    ASSERT_TRUE(first.Acquire());
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.IsHeld());
    first.Release();
    EXPECT_TRUE(second.Acquire());
}

TEST(SingleInstanceLock, OneDataFolderIsOneProgramWhateverTheRuntimeFolders)
{
    TempDataFolder folder;
    CSingleInstanceLock held;
    ASSERT_TRUE(held.Acquire());
    struct stat info{};
    ASSERT_EQ(::stat(CSingleInstanceLock::GetDataFolderLockPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const std::string otherRuntime = folder.Root() + "/other-session";
    std::filesystem::create_directory(otherRuntime);
    ::setenv("XDG_RUNTIME_DIR", otherRuntime.c_str(), 1);
    EXPECT_FALSE(AnotherProcessAcquires());
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(AnotherProcessAcquires());

    // The file stays behind after the holder is gone; it must not block the next start.
    held.Release();
    EXPECT_TRUE(std::filesystem::exists(CSingleInstanceLock::GetDataFolderLockPath()));
    EXPECT_TRUE(AnotherProcessAcquires());
}

TEST(SingleInstanceLock, ALinkOrAFifoPutInPlaceOfTheLockFileIsNotFollowed)
{
    TempDataFolder folder;
    std::filesystem::create_directories(GetDataFolder());
    const std::string elsewhere = folder.Root() + "/elsewhere";
    WriteWholeFile(elsewhere, "keep");
    std::filesystem::create_symlink(elsewhere, CSingleInstanceLock::GetDataFolderLockPath());
    CSingleInstanceLock lock;
    // The folder is locked in its stead: the program starts, and only once.
    EXPECT_TRUE(lock.Acquire());
    EXPECT_FALSE(AnotherProcessAcquires());
    EXPECT_EQ(ReadWholeFile(elsewhere), "keep");
    lock.Release();

    std::filesystem::remove(CSingleInstanceLock::GetDataFolderLockPath());
    ASSERT_EQ(::mkfifo(CSingleInstanceLock::GetDataFolderLockPath().c_str(), 0600), 0);
    EXPECT_TRUE(lock.Acquire());   // at once, instead of waiting for a writer
    EXPECT_FALSE(AnotherProcessAcquires());
}

TEST(SingleInstanceLock, ARefusalNamesTheHolderAndTheServiceIgnoresTheSessionLock)
{
    TempDataFolder folder;
    ::chmod(folder.Root().c_str(), 0700);
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::close(release[1]);
        CSingleInstanceLock held;
        const char result = held.Acquire() ? 'y' : 'n';
        [[maybe_unused]] auto written = ::write(ready[1], &result, 1);
        char byte = 0;
        [[maybe_unused]] auto got = ::read(release[0], &byte, 1);   // until the parent closes it
        ::_exit(0);
    }
    ::close(release[0]);
    char result = 0;
    ASSERT_EQ(::read(ready[0], &result, 1), 1);
    ASSERT_EQ(result, 'y');

    CSingleInstanceLock second;
    EXPECT_FALSE(second.Acquire());
    const std::string program = std::filesystem::path(std::filesystem::read_symlink("/proc/self/exe")).filename();
    EXPECT_EQ(second.GetHolder(), program + ", pid " + std::to_string(child));
    EXPECT_EQ(second.GetRefusedLock(), "the data folder " + GetDataFolder());

    // Another data folder, the same session: the window program is refused, the service not.
    ::setenv("XDG_DATA_HOME", (folder.Root() + "/elsewhere").c_str(), 1);
    CSingleInstanceLock window;
    EXPECT_FALSE(window.Acquire());
    EXPECT_EQ(window.GetRefusedLock(), "this session");
    CSingleInstanceLock service(CSingleInstanceLock::Scope::DataFolderOnly);
    EXPECT_TRUE(service.Acquire());

    ::close(release[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}
