#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/SingleInstanceLock.h"
#include "tests/support/TempDataFolder.h"

TEST(SingleInstanceLock, LivesInTheRuntimeFolder)
{
    TempDataFolder folder;
    EXPECT_EQ(CSingleInstanceLock::GetLockPath(), folder.Root() + "/QuillmereGlobalMutex.lock");
}

TEST(SingleInstanceLock, WithoutARuntimeFolderUsesTheTemporaryFolderWithTheUserId)
{
    TempDataFolder folder;
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string path = CSingleInstanceLock::GetLockPath();
    EXPECT_NE(path.find("QuillmereGlobalMutex-" + std::to_string(::getuid()) + ".lock"), std::string::npos) << path;
    ::setenv("XDG_RUNTIME_DIR", "relative/not/usable", 1);
    EXPECT_EQ(CSingleInstanceLock::GetLockPath(), path);
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

TEST(SingleInstanceLock, AnotherProcessIsRefusedAndAStaleFileBlocksNothing)
{
    TempDataFolder folder;
    {
        CSingleInstanceLock held;
        ASSERT_TRUE(held.Acquire());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            CSingleInstanceLock other;
            ::_exit(other.Acquire() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child got the lock";
    }
    // The file stays behind after the holder is gone; it must not block the next start.
    EXPECT_TRUE(std::filesystem::exists(CSingleInstanceLock::GetLockPath()));
    CSingleInstanceLock next;
    EXPECT_TRUE(next.Acquire());
}
