// Sends a 1 MiB image to lrzsz's rx over a pseudo-terminal twice: with the link's XModem
// sender and with lrzsz's sx (checksum mode, as rx asks with NAK). Prints both times, the
// ratio, and how many bytes reached the receiver, which shows any block sent twice.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "LinkTestSupport.h"
#include "core/DataFolder.h"
#include "link/QMNetLink.h"
#include "link/QMNetSerialPort.h"

extern char** environ;

namespace
{
constexpr int kCom = 5;
constexpr std::size_t kImageBytes = 1024 * 1024;
constexpr std::size_t kBlocks = kImageBytes / 128;

std::string ReadFile(const std::string& path)
{
    std::string content;
    if (std::FILE* f = std::fopen(path.c_str(), "rb"))
    {
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            content.append(buffer, n);
        std::fclose(f);
    }
    return content;
}

struct Run
{
    double seconds = 0;
    bool ok = false;
    std::size_t bytesToReceiver = 0;
};

Run SendWithLink(const std::string& image, const std::string& received, const std::string& expected)
{
    Run run;
    PtyPeer peer(kCom);
    CQMNetSerialPort port;
    port.SetLine(kCom, 115200);
    port.SetReadTimeout(2000);
    if (port.Open() != LinkStatus::Ok)
        return run;
    CQMNetLink link;
    const auto start = std::chrono::steady_clock::now();
    RxRelay rx(peer.MasterFd(), received, 120000);
    const LinkStatus sent = link.SendFirmwareFile(port, image);
    const LinkStatus eotAck = link.Receive(port, 2);   // the transfer stage's final wait
    const int rxStatus = rx.Wait();
    run.seconds = ElapsedMs(start) / 1000.0;
    run.bytesToReceiver = rx.BytesToReceiver();
    run.ok = sent == LinkStatus::Ok && eotAck == LinkStatus::Ok && rxStatus == 0 && ReadFile(received) == expected;
    port.Close();
    return run;
}

Run SendWithSx(const std::string& image, const std::string& received, const std::string& expected)
{
    Run run;
    PtyPeer peer(kCom);
    const int slave = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return run;
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(slave, TCSANOW, &tio);

    const auto start = std::chrono::steady_clock::now();
    RxRelay rx(peer.MasterFd(), received, 120000);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 0);
    posix_spawn_file_actions_adddup2(&actions, slave, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string path = image;
    char arg0[] = "sx";
    char arg1[] = "--xmodem";
    char arg2[] = "-q";
    char* argv[] = {arg0, arg1, arg2, path.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "sx", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int sxStatus = -1;
    if (rc == 0)
        ::waitpid(pid, &sxStatus, 0);
    const int rxStatus = rx.Wait();
    run.seconds = ElapsedMs(start) / 1000.0;
    run.bytesToReceiver = rx.BytesToReceiver();
    run.ok = rc == 0 && WIFEXITED(sxStatus) && WEXITSTATUS(sxStatus) == 0 && rxStatus == 0 &&
             ReadFile(received) == expected;
    ::close(slave);
    return run;
}
}

int main()
{
    char pattern[] = "/tmp/qm-bench-xmodem-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string root = pattern;
    setenv("XDG_DATA_HOME", root.c_str(), 1);

    std::string image(kImageBytes, '\0');
    unsigned value = 12345;
    for (char& c : image)
    {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    const std::string imagePath = root + "/image.rom";
    if (std::FILE* f = std::fopen(imagePath.c_str(), "wb"))
    {
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }

    const Run ours = SendWithLink(imagePath, root + "/by-link.bin", image);
    const Run theirs = SendWithSx(imagePath, root + "/by-sx.bin", image);

    const std::size_t wire = kBlocks * 132 + 1;
    std::printf("1 MiB image, %zu blocks, to rx over a pseudo-terminal\n", kBlocks);
    std::printf("link SendFirmwareFile: %7.3f s  %s  bytes to receiver %zu (%s)\n", ours.seconds,
                ours.ok ? "file intact" : "FAILED", ours.bytesToReceiver,
                ours.bytesToReceiver == wire ? "no block sent twice" : "blocks repeated");
    std::printf("sx --xmodem:           %7.3f s  %s  bytes to receiver %zu\n", theirs.seconds,
                theirs.ok ? "file intact" : "FAILED", theirs.bytesToReceiver);
    if (theirs.seconds > 0)
        std::printf("ratio link/sx: %.2f (goal: at most 1.5)\n", ours.seconds / theirs.seconds);

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return ours.ok && theirs.ok ? 0 : 1;
}
