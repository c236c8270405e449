#include <gtest/gtest.h>

#include <cstdlib>

#include "core/DataFolder.h"
#include "tests/support/TempDataFolder.h"

TEST(DataFolder, LivesUnderXdgDataHome)
{
    TempDataFolder temp;
    EXPECT_EQ(GetDataFolder(), temp.Root() + "/Velmarquet/Quillmere Monitor");
}

TEST(DataFolder, FallsBackToLocalShareWhenXdgDataHomeIsUnsetOrRelative)
{
    TempDataFolder temp;
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("XDG_DATA_HOME");
    ASSERT_FALSE(home.empty());
    EXPECT_EQ(GetDataFolder(), home + "/.local/share/Velmarquet/Quillmere Monitor");
    setenv("XDG_DATA_HOME", "relative/path", 1);
    EXPECT_EQ(GetDataFolder(), home + "/.local/share/Velmarquet/Quillmere Monitor");
}

TEST(DataFolder, JoinPathPutsExactlyOneSlash)
{
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
}
