#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <numeric>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

#include "TestPort.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
using Bytes = TestPort::Bytes;
using namespace std::chrono_literals;

Bytes XModemBlock(std::uint8_t number, Bytes data)
{
    data.resize(128, 0x1A);
    // Built up front to its final size: GCC 12 misreads an insert after a three-byte list.
    Bytes block(3 + data.size(), 0);
    block[0] = 0x01;
    block[1] = number;
    block[2] = static_cast<std::uint8_t>(255 - number);
    std::copy(data.begin(), data.end(), block.begin() + 3);
    block.push_back(std::accumulate(data.begin(), data.end(), std::uint8_t{0},
                                    [](std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a + b); }));
    return block;
}

class DevSim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Started()) << sim.Error();
        ASSERT_TRUE(port.IsOpen()) << sim.PtyPath();
    }

    DevSimProcess sim;
    TestPort port{sim.PtyPath()};
};

TEST_F(DevSim, AnswersRelayStatusWithTheRelayBytesSet)
{
    ASSERT_TRUE(sim.Command("relay 2 off"));
    ASSERT_TRUE(sim.Command("relay 4 5"));
    EXPECT_EQ(port.Exchange(Frame(1)), (Bytes{0x02, 0x01, 0x04, 0x00, 0x01, 0x00, 0x05, 0x01, 0x03}));
    ASSERT_TRUE(sim.WaitForSentFrames(1, 2000));
    EXPECT_EQ(sim.ReceivedFrames(), std::vector<std::string>{"02 01 00 01 03"});
    EXPECT_EQ(sim.SentFrames(), std::vector<std::string>{"02 01 04 00 01 00 05 01 03"});
}

TEST_F(DevSim, AnswersEveryStatusCodeOfThePollWithItsPayload)
{
    ASSERT_TRUE(sim.Command("firmware 1.2.3"));
    ASSERT_TRUE(sim.Command("clock 2024-12-31 12:00"));
    ASSERT_TRUE(sim.Command("iccid 8944500102198304826"));
    ASSERT_TRUE(sim.Command("uptime 86400"));
    ASSERT_TRUE(sim.Command("rssi 19"));   // 0x13, which a terminal with XON/XOFF would swallow
    ASSERT_TRUE(sim.Command("door open"));
    ASSERT_TRUE(sim.Command("radio 2g"));
    ASSERT_TRUE(sim.Command("gsm 0"));

    EXPECT_EQ(port.Exchange(Frame(6)),
              (Bytes{0x02, 0x06, 0x08, 0x01, 0x02, 0x03, 0x02, 0xD0, 0x0C, 0x1F, 0x18, 0xD7, 0x03}));
    const Bytes gps = port.Exchange(Frame(7));
    ASSERT_EQ(gps.size(), 25u);
    EXPECT_EQ(std::string(gps.begin() + 3, gps.begin() + 22), "8944500102198304826");
    EXPECT_EQ(gps[22], 0xFF);
    const Bytes uptime = port.Exchange(Frame(4));
    ASSERT_EQ(uptime.size(), 9u);
    EXPECT_EQ((Bytes{uptime[3], uptime[4], uptime[5]}), (Bytes{0x00, 0x01, 0x51}));
    EXPECT_EQ(port.Exchange(Frame(10)), (Bytes{0x02, 0x0A, 0x01, 0x13, 0x18, 0x03}));
    EXPECT_EQ(port.Exchange(Frame(12)), (Bytes{0x02, 0x0C, 0x01, 0x01, 0x0C, 0x03}));
    EXPECT_EQ(port.Exchange(Frame(15)), (Bytes{0x02, 0x0F, 0x01, 0x00, 0x0E, 0x03}));
    EXPECT_EQ(port.Exchange(Frame(8)), (Bytes{0x02, 0x08, 0x01, 0x00, 0x09, 0x03}));
    EXPECT_EQ(port.Exchange(Frame(0x42)), Bytes{0x15});
}

TEST_F(DevSim, BadChecksumModeSpoilsExactlyTheNextAnswers)
{
    ASSERT_TRUE(sim.Command("fault checksum 2"));
    for (int i = 0; i < 2; ++i)
    {
        const Bytes answer = port.Exchange(Frame(1));
        ASSERT_EQ(answer.size(), 9u);
        EXPECT_NE(answer[7], 0x05) << "answer " << i;
        EXPECT_EQ(answer[8], 0x03);
    }
    EXPECT_EQ(port.Exchange(Frame(1)), (Bytes{0x02, 0x01, 0x04, 0, 0, 0, 0, 0x05, 0x03}));
    ASSERT_TRUE(sim.WaitForSentFrames(3, 2000));
    EXPECT_NE(sim.SentFrames()[0].find("!fault-checksum"), std::string::npos);
}

TEST_F(DevSim, OtherFaultsReplaceOrBendTheAnswer)
{
    ASSERT_TRUE(sim.Command("fault end 1"));
    EXPECT_EQ(port.Exchange(Frame(1)), (Bytes{0x02, 0x01, 0x04, 0, 0, 0, 0, 0x05, 0x00}));
    ASSERT_TRUE(sim.Command("fault ack 1"));
    EXPECT_EQ(port.Exchange(Frame(1)), Bytes{0x06});
    ASSERT_TRUE(sim.Command("fault nak 1"));
    EXPECT_EQ(port.Exchange(Frame(1)), Bytes{0x15});
    ASSERT_TRUE(sim.Command("fault garbage 1"));
    ASSERT_TRUE(port.Write(Frame(1)));
    const Bytes garbage = port.ReadUntilQuiet(200, 2000);
    ASSERT_FALSE(garbage.empty());
    EXPECT_NE(garbage[0], 0x02);
    EXPECT_NE(garbage[0], 0x06);
    EXPECT_NE(garbage[0], 0x15);
    EXPECT_EQ(port.Exchange(Frame(1)).size(), 9u);
}

TEST_F(DevSim, RefusesAFrameWithABadChecksumFromTheHost)
{
    EXPECT_EQ(port.Exchange({0x02, 0x01, 0x00, 0x07, 0x03}), Bytes{0x15});
    ASSERT_TRUE(sim.WaitForReceivedFrames(1, 2000));
    EXPECT_EQ(sim.ReceivedFrames()[0], "02 01 00 07 03 !checksum");
}

TEST_F(DevSim, ReceivesAnXModemUploadIntoTheFirmwareFile)
{
    ASSERT_TRUE(sim.Command("refuse-blocks 1"));
    Bytes file(200);
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<std::uint8_t>(i * 13 + 1);

    ASSERT_EQ(port.Exchange(Frame(0x55)), (Bytes{0x02, 0x55, 0x00, 0x55, 0x03}));
    ASSERT_EQ(port.Read(1, 2000), Bytes{0x15});   // the receiver asks for the file
    const Bytes first = XModemBlock(1, Bytes(file.begin(), file.begin() + 128));
    ASSERT_TRUE(port.Write(first));
    EXPECT_EQ(port.Read(1, 2000), Bytes{0x15});   // refused once, as told
    ASSERT_TRUE(port.Write(first));
    EXPECT_EQ(port.Read(1, 2000), Bytes{0x06});
    ASSERT_TRUE(port.Write(XModemBlock(2, Bytes(file.begin() + 128, file.end()))));
    EXPECT_EQ(port.Read(1, 2000), Bytes{0x06});
    ASSERT_TRUE(port.Write({0x04}));
    EXPECT_EQ(port.Read(1, 2000), Bytes{0x06});

    ASSERT_TRUE(sim.WaitForTranscriptLine("firmware received", 2000));
    Bytes expected = file;
    expected.resize(256, 0x1A);
    const std::string stored = ReadWholeFile(sim.FirmwarePath());
    EXPECT_EQ(Bytes(stored.begin(), stored.end()), expected);
    // Back in command mode afterwards.
    EXPECT_EQ(port.Exchange(Frame(1)).size(), 9u);
    EXPECT_NE(sim.Control("status").find("uploads=1 upload-bytes=256"), std::string::npos);
}

TEST_F(DevSim, TakesAnUploadFromARealXModemSender)
{
    const char* sender = "/usr/bin/sx";
    if (access(sender, X_OK) != 0)
        GTEST_SKIP() << "lrzsz's sx is not installed";
    TempDataFolder folder;
    const std::string image = folder.Root() + "/image.rom";
    std::string content(1000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 + 7);
    WriteWholeFile(image, content);

    ASSERT_EQ(port.Exchange(Frame(0x55)), (Bytes{0x02, 0x55, 0x00, 0x55, 0x03}));
    // The receiver's start NAK waits in the line for the sender, which gets a blocking descriptor.
    const int line = open(sim.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, line, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, line, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string x = "-X";
    std::vector<char*> argv{const_cast<char*>(sender), x.data(), const_cast<char*>(image.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, sender, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(line);
    int status = -1;
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i)
    {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            std::this_thread::sleep_for(10ms);
    }
    if (!ended)
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "sx did not finish";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(sim.WaitForTranscriptLine("firmware received: 1024 bytes in 8 blocks", 2000));
    const std::string stored = ReadWholeFile(sim.FirmwarePath());
    ASSERT_EQ(stored.size(), 1024u);
    EXPECT_EQ(stored.substr(0, 1000), content);
    EXPECT_EQ(stored.substr(1000), std::string(24, '\x1A'));
}

TEST_F(DevSim, SilentModeAnswersNothingAndDelayHoldsAnswersBack)
{
    ASSERT_TRUE(sim.Command("silent on"));
    EXPECT_TRUE(port.Exchange(Frame(1), 300).empty());
    ASSERT_TRUE(sim.Command("silent off"));
    ASSERT_TRUE(sim.Command("delay 300"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Exchange(Frame(1)).size(), 9u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);
}

TEST_F(DevSim, UnsolicitedMessagesGoOutOnlyOnceEnabledOrWhenForced)
{
    EXPECT_EQ(sim.Control("inject relay 3 on button"), "OK held: the host has not enabled these messages");
    EXPECT_TRUE(port.Read(1, 200).empty());
    EXPECT_EQ(port.Exchange(Frame(2, {1})), (Bytes{0x02, 0x02, 0x02, 0xFF, 0x01, 0xFE, 0x03}));
    ASSERT_TRUE(sim.Command("inject relay 3 off schedule"));
    EXPECT_EQ(port.Read(8, 2000), (Bytes{0x02, 0x02, 0x03, 0x03, 0x01, 0x02, 0x01, 0x03}));
    EXPECT_EQ(port.Exchange(Frame(1)), (Bytes{0x02, 0x01, 0x04, 0x00, 0x00, 0x01, 0x00, 0x04, 0x03}));

    ASSERT_TRUE(sim.Command("inject door open force"));   // door messages were never enabled
    EXPECT_EQ(port.Read(6, 2000), (Bytes{0x02, 0x0D, 0x01, 0x01, 0x0D, 0x03}));

    // A reset switches unsolicited messages off until the host asks again.
    EXPECT_EQ(port.Exchange(Frame(11, {0xAA})), (Bytes{0x02, 0x0B, 0x00, 0x0B, 0x03}));
    EXPECT_EQ(sim.Control("inject relay 1 off web"), "OK held: the host has not enabled these messages");
}

TEST_F(DevSim, AnswersTheHostDidNotWaitForAreLostWhenItClosesThePort)
{
    ASSERT_TRUE(sim.Command("delay 300"));
    ASSERT_TRUE(port.Write(Frame(1)));
    ASSERT_TRUE(sim.WaitForReceivedFrames(1, 2000));
    port.Close();
    ASSERT_TRUE(sim.WaitForTranscriptLine("port closed, not sent: 02 01 04", 3000));
    TestPort again(sim.PtyPath());
    ASSERT_TRUE(again.IsOpen());
    EXPECT_TRUE(again.Read(1, 200).empty());
    EXPECT_EQ(again.Exchange(Frame(1)).size(), 9u);
}

TEST_F(DevSim, HangupUnplugsTheLineAndReplugOffersANewOne)
{
    ASSERT_TRUE(sim.Command("hangup"));
    // The host's open descriptor now reads end of file or fails, like an unplugged adapter.
    EXPECT_TRUE(port.Exchange(Frame(1), 300).empty());
    port.Close();
    const std::string answer = sim.Control("replug");
    ASSERT_EQ(answer.rfind("OK PTY /dev/", 0), 0u) << answer;
    TestPort fresh(sim.PtyPath());
    ASSERT_TRUE(fresh.IsOpen());
    EXPECT_EQ(fresh.Exchange(Frame(1)).size(), 9u);
}

TEST_F(DevSim, RejectsControlLinesItCannotCarryOut)
{
    EXPECT_EQ(sim.Control("relay 5 on").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.Control("clock 2023-02-29 10:00").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.Control("firmware 1.2.256").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.Control("iccid 12ab").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.Control("fault checksum 0").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.Control("frobnicate").rfind("ERR", 0), 0u);
    // The state is untouched by the refused lines.
    EXPECT_EQ(port.Exchange(Frame(1)), (Bytes{0x02, 0x01, 0x04, 0, 0, 0, 0, 0x05, 0x03}));
}

TEST(DevSimLifetime, MakesTheComLinkAndRemovesItAtExit)
{
    TempDataFolder folder;
    const std::string data = folder.Root() + "/data";
    std::string link;
    {
        DevSimProcess sim({"--data-folder", data, "--com", "7"});
        ASSERT_TRUE(sim.Started()) << sim.Error();
        link = data + "/ports/COM7";
        EXPECT_EQ(sim.LinkPath(), link);
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
        TestPort port(link);
        EXPECT_EQ(port.Exchange(Frame(1)).size(), 9u);

        // A replug points the same name at the new line.
        port.Close();
        ASSERT_TRUE(sim.Command("replug"));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
        TestPort again(link);
        EXPECT_EQ(again.Exchange(Frame(1)).size(), 9u);
        EXPECT_EQ(sim.Stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(DevSimLifetime, RefusesToReplaceAFileThatIsNotALink)
{
    TempDataFolder folder;
    const std::string path = folder.Root() + "/COM3";
    WriteWholeFile(path, "keep me");
    DevSimProcess sim({"--link", path});
    EXPECT_FALSE(sim.Started());
    EXPECT_EQ(sim.WaitForExit(2000), 1);
    EXPECT_EQ(ReadWholeFile(path), "keep me");
}

TEST(DevSimLifetime, EndsOnEndOfInputOnTheTimeLimitAndOnSigterm)
{
    TempDataFolder folder;
    {
        DevSimProcess sim;
        ASSERT_TRUE(sim.Started()) << sim.Error();
        sim.CloseInput();
        EXPECT_EQ(sim.WaitForExit(2000), 0);
    }
    {
        DevSimProcess sim({}, 0.3);
        ASSERT_TRUE(sim.Started()) << sim.Error();
        EXPECT_EQ(sim.WaitForExit(3000), 0);
    }
    {
        const std::string link = folder.Root() + "/COM9";
        DevSimProcess sim({"--link", link});
        ASSERT_TRUE(sim.Started()) << sim.Error();
        ASSERT_TRUE(std::filesystem::is_symlink(link));
        kill(sim.Pid(), SIGTERM);
        EXPECT_EQ(sim.WaitForExit(2000), 0);
        EXPECT_FALSE(std::filesystem::is_symlink(link));
    }
}
}  // namespace

namespace
{
TEST_F(DevSim, FloodSendsValidUnsolicitedFramesUntilTurnedOff)
{
    ASSERT_TRUE(sim.Command("flood on"));
    constexpr std::size_t kFrame = 8;   // 02 02 03 relay state source checksum 03
    const Bytes burst = port.Read(kFrame * 200, 2000);
    ASSERT_EQ(burst.size(), kFrame * 200u);
    for (std::size_t at = 0; at < burst.size(); at += kFrame)
    {
        // Relay 9: a frame the host must check and then ignore.
        ASSERT_EQ(Bytes(burst.begin() + static_cast<long>(at), burst.begin() + static_cast<long>(at + 4)),
                  (Bytes{0x02, 0x02, 0x03, 0x09}))
            << "frame at " << at;
        EXPECT_EQ(burst[at + 7], 0x03);
    }
    ASSERT_TRUE(sim.Command("flood off"));
    port.ReadUntilQuiet(200, 3000);
    EXPECT_TRUE(port.Read(1, 300).empty()) << "quiet once turned off";
    EXPECT_EQ(port.Exchange(Frame(1)).size(), 9u) << "and answering again";
}
}
