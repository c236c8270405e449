#include <gtest/gtest.h>
#include <cstdio>
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

// The COM names of the list built from plain device paths.
std::vector<std::string> Names(const std::vector<CSerialPortList::Entry>& entries)
{
    std::vector<std::string> names;
    for (const CSerialPortList::Entry& entry : entries)
        names.push_back("COM" + std::to_string(entry.number));
    return names;
}

std::vector<std::string> Names(const std::string& links, const std::vector<std::string>& paths)
{
    std::vector<CSerialPortList::Device> devices;
    for (const std::string& path : paths)
        devices.push_back({path, {}, {}, {}});
    return Names(CSerialPortList::GetPorts(links, devices));
}

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
        Names(links, {"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyAMA0"});
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
    EXPECT_EQ(Names(links, {}), std::vector<std::string>{"COM8"});
}

TEST_F(SerialPortListTest, AtMostTwentyAreOffered)
{
    std::vector<std::string> devices;
    for (int k = 0; k < 30; ++k)
        devices.push_back("/dev/ttyS" + std::to_string(k));
    Link("COM40");
    const std::vector<std::string> names = Names(links, devices);
    ASSERT_EQ(names.size(), CSerialPortList::MaxPorts);
    EXPECT_EQ(names.front(), "COM40");
    EXPECT_EQ(names.back(), "COM19");
}

TEST_F(SerialPortListTest, AMissingLinkFolderLeavesTheDevices)
{
    EXPECT_EQ(Names(JoinPath(folder.Root(), "absent"), {"/dev/ttyACM1"}),
              std::vector<std::string>{"COM66"});
}

TEST_F(SerialPortListTest, TheDefaultListReadsTheDataFoldersLinks)
{
    const std::string dataLinks = JoinPath(GetDataFolder(), "ports");
    ASSERT_TRUE(CreateDirectoryTree(dataLinks));
    ASSERT_EQ(symlink("/dev/null", JoinPath(dataLinks, "COM77").c_str()), 0);
    const std::vector<std::string> names = Names(CSerialPortList::GetPorts());
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "COM77");
    EXPECT_LE(names.size(), CSerialPortList::MaxPorts);
}

TEST_F(SerialPortListTest, EachEntrySaysWhatIsBehindItsNumber)
{
    // A pseudo-terminal link, a link to an adapter the system reports, a dangling link, a
    // USB adapter with and without its serial number, and a built-in port.
    const std::string stable = JoinPath(folder.Root(), "usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0");
    ASSERT_EQ(symlink("/dev/null", stable.c_str()), 0);
    Link("COM7", "/dev/ptmx");
    Link("COM97", stable);
    Link("COM8", "/nonexistent/quillmere-port");
    const std::vector<CSerialPortList::Device> devices{
        {"/dev/null", "FT232R USB UART", "A10K3Z", stable},
        {"/dev/ttyUSB1", "CP2102 USB to UART", "", ""},
        {"/dev/ttyS0", "", "", ""}};
    // /dev/null stands for the adapter's node here; it has no default number of its own.
    const std::vector<CSerialPortList::Entry> entries = CSerialPortList::GetPorts(links, devices);
    std::vector<std::string> texts;
    for (const CSerialPortList::Entry& entry : entries)
        texts.push_back(entry.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"COM7 \u2013 /dev/ptmx", "COM8 \u2013 /nonexistent/quillmere-port (not present)",
                                               "COM97 \u2013 null \u2013 FT232R USB UART (A10K3Z)", "COM1 \u2013 ttyS0",
                                               "COM34 \u2013 ttyUSB1 \u2013 CP2102 USB to UART"}));
    // Only an adapter reached by its default number offers its stable name; the list
    // still reads each entry's number the way the page does.
    for (const CSerialPortList::Entry& entry : entries)
    {
        EXPECT_TRUE(entry.stablePath.empty()) << entry.text;
        EXPECT_EQ(CSerialPortList::PortNumberFromEntry(entry.text), entry.number) << entry.text;
    }
}

TEST_F(SerialPortListTest, AnAdaptersStableNameGetsOneLinkAboveEveryDefaultNumber)
{
    const std::string first = "/dev/serial/by-id/usb-FTDI_A10K3Z-if00-port0";
    const std::string second = "/dev/serial/by-id/usb-Prolific_B77-if00-port0";
    Link("COM97", "/dev/pts/4");   // taken already: the next free number is used
    EXPECT_EQ(CSerialPortList::LinkStablePath(links, first), 98);
    EXPECT_EQ(CSerialPortList::LinkStablePath(links, second), 99);
    EXPECT_EQ(CSerialPortList::LinkStablePath(links, first), 98) << "a second choice reuses the link";
    char target[256] = {};
    ASSERT_GT(readlink(JoinPath(links, "COM98").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), first);
    EXPECT_EQ(CSerialPortList::LinkStablePath(links, ""), 0);
    // A folder that cannot be made gives no number and says why.
    const std::string blocked = JoinPath(folder.Root(), "file");
    ASSERT_EQ(symlink("/dev/null", blocked.c_str()), 0);
    EXPECT_EQ(CSerialPortList::LinkStablePath(JoinPath(blocked, "ports"), first), 0);
}

TEST_F(SerialPortListTest, StableNamesAreFoundByWhereTheyLead)
{
    const std::string byId = JoinPath(folder.Root(), "by-id");
    ASSERT_TRUE(CreateDirectoryTree(byId));
    const std::string node = JoinPath(folder.Root(), "ttyUSB0");
    FILE* file = fopen(node.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    ASSERT_EQ(symlink(node.c_str(), JoinPath(byId, "usb-FTDI_A10K3Z").c_str()), 0);
    std::vector<CSerialPortList::Device> devices{{node, "FT232R", "A10K3Z", ""}, {"/dev/null", "", "", ""}};
    CSerialPortList::FindStablePaths(byId, devices);
    EXPECT_EQ(devices[0].stablePath, JoinPath(byId, "usb-FTDI_A10K3Z"));
    EXPECT_TRUE(devices[1].stablePath.empty());
}
