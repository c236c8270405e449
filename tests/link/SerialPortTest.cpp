#include <gtest/gtest.h>
#include <sys/resource.h>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "LinkTestSupport.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "link/QMNetSerialPort.h"
#include "tests/support/TempDataFolder.h"

namespace
{
constexpr short kCom = 7;

struct ComMapping
{
    int com;
    const char* path;
};

class DefaultComMapping : public ::testing::TestWithParam<ComMapping>
{
};

TEST_P(DefaultComMapping, NamesTheDeviceOfItsFamily)
{
    TempDataFolder folder;
    EXPECT_EQ(CQMNetSerialPort::DevicePathFor(GetParam().com), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(SerialPort, DefaultComMapping,
                         ::testing::Values(ComMapping{1, "/dev/ttyS0"}, ComMapping{3, "/dev/ttyS2"},
                                           ComMapping{12, "/dev/ttyS11"}, ComMapping{32, "/dev/ttyS31"},
                                           ComMapping{33, "/dev/ttyUSB0"}, ComMapping{64, "/dev/ttyUSB31"},
                                           ComMapping{65, "/dev/ttyACM0"}, ComMapping{96, "/dev/ttyACM31"},
                                           ComMapping{97, ""}, ComMapping{0, ""}, ComMapping{-3, ""}));

TEST(SerialPort, LinkInDataFolderWinsOverDefaultMapping)
{
    TempDataFolder folder;
    PtyPeer peer(3);
    EXPECT_EQ(CQMNetSerialPort::DevicePathFor(3),
              JoinPath(JoinPath(GetDataFolder(), "ports"), "COM3"));
    EXPECT_EQ(CQMNetSerialPort::DevicePathFor(4), "/dev/ttyS3");
}

TEST(SerialPort, OpenOfMissingDeviceFailsAndLeavesNothingToClose)
{
    TempDataFolder folder;
    CreateDirectoryTree(JoinPath(GetDataFolder(), "ports"));
    ASSERT_EQ(::symlink("/nonexistent/tty", JoinPath(JoinPath(GetDataFolder(), "ports"), "COM5").c_str()), 0);
    CQMNetSerialPort port;
    port.SetLine(5, 19200);
    EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Close(), LinkStatus::Ok);
    EXPECT_EQ(port.Close(), LinkStatus::Ok);
}

TEST(SerialPort, OpenOfSomethingThatIsNoTerminalFails)
{
    TempDataFolder folder;
    const std::string file = JoinPath(folder.Root(), "plain");
    WriteWholeFile(file, "x");
    CreateDirectoryTree(JoinPath(GetDataFolder(), "ports"));
    ASSERT_EQ(::symlink(file.c_str(), JoinPath(JoinPath(GetDataFolder(), "ports"), "COM6").c_str()), 0);
    CQMNetSerialPort port;
    port.SetLine(6, 19200);
    EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, SecondOpenOfHeldPortFailsUntilTheFirstCloses)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort first;
    CQMNetSerialPort second;
    first.SetLine(kCom, 19200);
    second.SetLine(kCom, 19200);
    ASSERT_EQ(first.Open(), LinkStatus::Ok);
    EXPECT_EQ(second.Open(), LinkStatus::OpenFailed);
    EXPECT_FALSE(second.IsOpen());
    // Who holds it is what an operator needs: here, this very test program.
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").filename();
    EXPECT_EQ(second.GetLastError(), "COM" + std::to_string(kCom) + " (" + CQMNetSerialPort::DevicePathFor(kCom) +
                                          ") is held by " + program + ", pid " + std::to_string(::getpid()));
    EXPECT_EQ(first.Close(), LinkStatus::Ok);
    EXPECT_EQ(second.Open(), LinkStatus::Ok);
}

TEST(SerialPort, SpeedTheDriverCannotTakeFailsTheOpen)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 12345);
    EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    EXPECT_FALSE(port.IsOpen());
    port.SetLine(kCom, 115200);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    termios tio{};
    const int fd = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
}

TEST(SerialPort, LineIsRaw8N1)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    port.SetReadTimeout(500);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);

    termios tio{};
    const int fd = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));

    // The bytes a cooked terminal would eat or change: XON, XOFF, CR, LF, ^C, DEL, EOF.
    const Bytes awkward = {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0x04, 0x00, 0xFF};
    ASSERT_EQ(port.Write(awkward.data(), static_cast<int>(awkward.size())), LinkStatus::Ok);
    EXPECT_EQ(peer.Read(awkward.size(), 1000), awkward);
    EXPECT_TRUE(peer.Read(1, 50).empty()) << "nothing echoed or added";

    peer.Write(awkward);
    Bytes back;
    unsigned char byte = 0;
    while (back.size() < awkward.size() && port.ReadByte(&byte) == LinkStatus::Ok)
        back.push_back(byte);
    EXPECT_EQ(back, awkward);
}

TEST(SerialPort, ReadByteGivesTimeoutAfterTheReadTimeout)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    port.SetReadTimeout(150);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    unsigned char byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::Timeout);
    const auto elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 140);
    EXPECT_LT(elapsed, 600);
}

TEST(SerialPort, NewReadTimeoutTakesEffectAtTheNextRead)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    port.SetReadTimeout(400);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    port.SetReadTimeout(60);
    unsigned char byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::Timeout);
    EXPECT_LT(ElapsedMs(start), 300);
}

TEST(SerialPort, ClosedPortRefusesToReadAndWrite)
{
    CQMNetSerialPort port;
    unsigned char byte = 0;
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::ReadFailed);
    EXPECT_EQ(port.Write(&byte, 1), LinkStatus::WriteFailed);
    EXPECT_EQ(port.Purge(), 0);
}

TEST(SerialPort, HungUpLineFailsEveryReadAtOnceWithoutSpinning)
{
    TempDataFolder folder;
    auto peer = std::make_unique<PtyPeer>(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    port.SetReadTimeout(80);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    unsigned char byte = 0;
    peer->Write({0x55});
    ASSERT_EQ(port.ReadByte(&byte), LinkStatus::Ok);
    peer.reset();   // the adapter is unplugged
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::LineHungUp);
    EXPECT_EQ(port.WaitReadable(1000), LinkStatus::Ok) << "ready, so that the read says what happened";
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::LineHungUp);
    EXPECT_LT(ElapsedMs(start), 70) << "not waited out as a silent line";
    EXPECT_EQ(port.Close(), LinkStatus::Ok);
}

TEST(SerialPort, ArmedWakeDescriptorEndsAWaitThatHasSeenNoByte)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    port.SetReadTimeout(3000);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    ASSERT_EQ(::write(wake[1], "x", 1), 1);

    peer.Write({0x02});
    port.ArmWakeDescriptor(wake[0]);
    unsigned char byte = 0;
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::Ok);   // data first
    // A byte has arrived: the reception under way is read to its end, the wake ignored.
    peer.Write({0x01});
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::Ok);
    EXPECT_EQ(byte, 0x01);

    port.ArmWakeDescriptor(wake[0]);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadByte(&byte), LinkStatus::Woken) << "told apart from a silent line";
    EXPECT_LT(ElapsedMs(start), 500);
    ::close(wake[0]);
    ::close(wake[1]);
}
}

// ---- only a port is taken, and it is left as it was found ----
namespace
{
termios LineOf(const std::string& path)
{
    termios tio{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
    {
        tcgetattr(fd, &tio);
        ::close(fd);
    }
    return tio;
}

TEST(SerialPort, CloseRestoresTheLineSettingsFoundAtOpen)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    const termios before = LineOf(peer.SlavePath());
    ASSERT_NE(before.c_lflag & ECHO, 0u) << "a fresh terminal echoes";
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    ASSERT_EQ(port.Open(), LinkStatus::Ok);
    EXPECT_EQ(LineOf(peer.SlavePath()).c_lflag & (ECHO | ICANON), 0u);
    ASSERT_EQ(port.Close(), LinkStatus::Ok);
    const termios after = LineOf(peer.SlavePath());
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialPort, SomeSessionsControllingTerminalIsRefused)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // A login of its own: a new session that takes the terminal as its controlling one.
        ::setsid();
        const int fd = ::open(peer.SlavePath().c_str(), O_RDWR);
        char c = fd >= 0 ? 'y' : 'n';
        [[maybe_unused]] ssize_t n = ::write(ready[1], &c, 1);
        n = ::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    CQMNetSerialPort port;
    port.SetLine(kCom, 19200);
    EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    EXPECT_NE(port.GetLastError().find("controlling terminal"), std::string::npos) << port.GetLastError();

    // The check costs the same however many processes the machine runs: with 1,000 more
    // asleep, the refused opens of the retry loop (one per 150 ms) stay under 1 % of a core.
    std::vector<pid_t> sleepers;
    for (int i = 0; i < 1000; ++i)
    {
        const pid_t sleeper = ::fork();
        if (sleeper == 0)
        {
            char x = 0;
            [[maybe_unused]] ssize_t n = ::read(release[0], &x, 1);
            ::_exit(0);
        }
        if (sleeper > 0)
            sleepers.push_back(sleeper);
    }
    EXPECT_EQ(sleepers.size(), 1000u);
    const auto cpuUs = [] {
        long long total = 0;
        for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN})
        {
            rusage use{};
            ::getrusage(who, &use);
            total += (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000000LL + use.ru_utime.tv_usec + use.ru_stime.tv_usec;
        }
        return total;
    };
    constexpr int kOpens = 40;
    const long long before = cpuUs();
    for (int i = 0; i < kOpens; ++i)
        EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    const double share = static_cast<double>(cpuUs() - before) / kOpens / 150000.0;
    std::printf("refused open with 1,000 more processes: %.0f us of processor time, %.2f %% of a core at one per 150 ms\n",
                share * 150000.0, share * 100.0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(share, 0.01);
#endif

    const std::string wake(sleepers.size() + 1, 'x');
    ASSERT_EQ(::write(release[1], wake.data(), wake.size()), static_cast<ssize_t>(wake.size()));
    for (pid_t sleeper : sleepers)
        ::waitpid(sleeper, nullptr, 0);
    ::waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
    EXPECT_EQ(port.Open(), LinkStatus::Ok) << "free again once that session is gone: " << port.GetLastError();
}

TEST(SerialPort, ComNumberIsNeverCutToAnotherPort)
{
    TempDataFolder folder;
    PtyPeer peer(kCom);   // COM7 is there
    CQMNetSerialPort port;
    port.SetLine(65536 + kCom, 19200);
    EXPECT_EQ(port.Open(), LinkStatus::OpenFailed);
    EXPECT_EQ(port.GetLastError(), "no device for COM65543");
    EXPECT_EQ(port.GetPortNumber(), 65543);
}
}
