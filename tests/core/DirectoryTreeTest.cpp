#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "core/DirectoryTree.h"
#include "tests/support/TempDataFolder.h"

TEST(DirectoryTree, CreatesEveryMissingFolderOfTheChain)
{
    TempDataFolder temp;
    const std::string deep = temp.Root() + "/a/b c/d/";
    EXPECT_FALSE(DirectoryExists(deep));
    EXPECT_TRUE(CreateDirectoryTree(deep));
    EXPECT_TRUE(DirectoryExists(temp.Root() + "/a/b c/d"));
    EXPECT_TRUE(CreateDirectoryTree(deep));   // already there: still success
}

TEST(DirectoryTree, FailsWhenAFileStandsInTheWayOrTheParentIsReadOnly)
{
    TempDataFolder temp;
    WriteWholeFile(temp.Root() + "/file", "x");
    EXPECT_FALSE(CreateDirectoryTree(temp.Root() + "/file/sub"));
    EXPECT_FALSE(DirectoryExists(temp.Root() + "/file"));

    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores folder permissions";
    ASSERT_EQ(mkdir((temp.Root() + "/locked").c_str(), 0555), 0);
    EXPECT_FALSE(CreateDirectoryTree(temp.Root() + "/locked/sub"));
}
