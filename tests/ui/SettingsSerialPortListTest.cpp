#include <gtest/gtest.h>
#include <unistd.h>

#include "core/DirectoryTree.h"
#include "core/DataFolder.h"
#include "tests/support/TempDataFolder.h"
#include "ui/SerialPortList.h"

namespace
{
class SerialPortListTest : public ::testing::Test
{
protected:
    SerialPortListTest() : links(JoinPath(folder.Root(), "ports")) { CreateDirectoryTree(links); }

    void Link(const std::string& name, const std::string& target = "/dev/null")
    {
        ASSERT_EQ(symlink(target.c_str(), JoinPath(links, name).c_str()), 0) << name;
    }

    TempDataFolder folder;
    std::string links;
};

struct DeviceCase
{
    const char* path;
    int com;
};

class DeviceNumbers : public ::testing::TestWithParam<DeviceCase>
{
};

struct EntryCase
{
    const char* entry;
    int number;
};

class EntryNumbers : public ::testing::TestWithParam<EntryCase>
{
};
}

TEST_P(DeviceNumbers, MapEachDefaultFamilyToItsComRange)
{
    EXPECT_EQ(CSerialPortList::ComNumberForDevice(GetParam().path), GetParam().com);
}

INSTANTIATE_TEST_SUITE_P(Paths, DeviceNumbers,
                         ::testing::Values(DeviceCase{"/dev/ttyS0", 1}, DeviceCase{"/dev/ttyS31", 32},
                                           DeviceCase{"/dev/ttyUSB0", 33}, DeviceCase{"/dev/ttyUSB31", 64},
                                           DeviceCase{"/dev/ttyACM0", 65}, DeviceCase{"/dev/ttyACM31", 96},
                                           DeviceCase{"/dev/ttyS32", 0}, DeviceCase{"/dev/ttyS01", 0},
                                           DeviceCase{"/dev/ttyAMA0", 0}, DeviceCase{"/dev/ttyS", 0},
                                           DeviceCase{"/dev/ttyUSB-1", 0}));

TEST_P(EntryNumbers, TrimCOMFromBothEndsAndReadTheRest)
{
    EXPECT_EQ(CSerialPortList::PortNumberFromEntry(GetParam().entry), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(Entries, EntryNumbers,
                         ::testing::Values(EntryCase{"COM10", 10}, EntryCase{"COM1", 1}, EntryCase{"MOC7COM", 7},
                                           EntryCase{"COM", 0}, EntryCase{"", 0}, EntryCase{"COM3x", 3},
                                           EntryCase{"COM99999999999999999999", 0}));

TEST_F(SerialPortListTest, LinksComeFirstThenRealDevicesEachNumberOnce)
{
    Link("COM10");
    Link("COM2", "/nonexistent/quillmere-port");   // dangling links are offered too
    Link("COM33");
    const std::vector<std::string> names =
        CSerialPortList::GetPortNames(links, {"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyAMA0"});
    EXPECT_EQ(names, (std::vector<std::string>{"COM2", "COM10", "COM33", "COM1"}));
}

TEST_F(SerialPortListTest, OnlyCanonicalComLinksCount)
{
    Link("COM05");
    Link("com6");
    Link("COM0");
    Link("COM7.bak");
    Link("COM8");
    ASSERT_EQ(mkdir(JoinPath(links, "COM9").c_str(), 0700), 0);   // not a link
    EXPECT_EQ(CSerialPortList::GetPortNames(links, {}), std::vector<std::string>{"COM8"});
}

TEST_F(SerialPortListTest, AtMostTwentyAreOffered)
{
    std::vector<std::string> devices;
    for (int k = 0; k < 30; ++k)
        devices.push_back("/dev/ttyS" + std::to_string(k));
    Link("COM40");
    const std::vector<std::string> names = CSerialPortList::GetPortNames(links, devices);
    ASSERT_EQ(names.size(), CSerialPortList::MaxPorts);
    EXPECT_EQ(names.front(), "COM40");
    EXPECT_EQ(names.back(), "COM19");
}

TEST_F(SerialPortListTest, AMissingLinkFolderLeavesTheDevices)
{
    EXPECT_EQ(CSerialPortList::GetPortNames(JoinPath(folder.Root(), "absent"), {"/dev/ttyACM1"}),
              std::vector<std::string>{"COM66"});
}

TEST_F(SerialPortListTest, TheDefaultListReadsTheDataFoldersLinks)
{
    const std::string dataLinks = JoinPath(GetDataFolder(), "ports");
    ASSERT_TRUE(CreateDirectoryTree(dataLinks));
    ASSERT_EQ(symlink("/dev/null", JoinPath(dataLinks, "COM77").c_str()), 0);
    const std::vector<std::string> names = CSerialPortList::GetPortNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "COM77");
    EXPECT_LE(names.size(), CSerialPortList::MaxPorts);
}
