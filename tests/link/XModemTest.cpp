#include <gtest/gtest.h>

#include <thread>

#include "LinkTestSupport.h"
#include "core/DataFolder.h"
#include "protocol/CommandCodes.h"
#include "protocol/XModemCommand.h"
#include "link/QMNetLink.h"
#include "tests/support/TempDataFolder.h"

namespace
{
constexpr int kCom = 11;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;

std::string Image(std::size_t size, unsigned seed = 7)
{
    std::string image(size, '\0');
    unsigned value = seed;
    for (char& c : image)
    {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    return image;
}

Bytes Block(const std::string& image, std::size_t index)
{
    const unsigned char number = static_cast<unsigned char>(index + 1);
    Bytes block = {0x01, number, static_cast<unsigned char>(255 - number)};
    unsigned char sum = 0;
    for (std::size_t i = 0; i < 128; ++i)
    {
        const std::size_t at = index * 128 + i;
        const unsigned char b = at < image.size() ? static_cast<unsigned char>(image[at]) : 0x1A;
        block.push_back(b);
        sum = static_cast<unsigned char>(sum + b);
    }
    block.push_back(sum);
    return block;
}

// A receiver written from the protocol rules: NAK to start, then acknowledges each block
// (refusing the first `refusals` attempts of block `refusedBlock`), then the EOT.
struct ScriptedReceiver
{
    std::vector<Bytes> blocks;
    Bytes tail;
    void Run(PtyPeer& peer, std::size_t expectedBlocks, std::size_t refusedBlock = 0, int refusals = 0)
    {
        peer.Write({kNak});
        while (blocks.size() < expectedBlocks + static_cast<std::size_t>(refusals))
        {
            Bytes block = peer.Read(132, 2000);
            if (block.size() != 132)
                break;
            blocks.push_back(block);
            const bool refuse = blocks.size() - 1 >= refusedBlock && refusals > 0 &&
                                static_cast<int>(blocks.size() - 1 - refusedBlock) < refusals;
            peer.Write({refuse ? kNak : kAck});
        }
        tail = peer.ReadUntilQuiet(200, 2000);
    }
};

class XModem : public ::testing::Test
{
protected:
    void SetUp() override
    {
        peer = std::make_unique<PtyPeer>(kCom);
        port.SetLine(kCom, 19200);
        port.SetReadTimeout(200);
        ASSERT_EQ(port.Open(), LinkStatus::Ok);
        calls.AttachTo(link);
    }
    // A worker of its own with an upgrade request for path queued and started.
    void StartUpgrade(CQMNetLink& worker, const std::string& path, unsigned readTimeoutMs)
    {
        calls.AttachTo(worker);
        worker.SetPort(kCom, 19200);
        worker.SetTiming(3, 5, readTimeoutMs);
        auto command = std::make_unique<CXModemCommand>();
        command->Code = CommandCode::RequestUpgrade;
        ASSERT_TRUE(command->SetFilePath(path));
        worker.QueueCommand(std::move(command));
        ASSERT_TRUE(worker.Start());
    }
    std::string WriteImage(const std::string& image, const std::string& name = "image.rom")
    {
        const std::string path = JoinPath(folder.Root(), name);
        WriteWholeFile(path, image);
        return path;
    }

    TempDataFolder folder;
    std::unique_ptr<PtyPeer> peer;
    CQMNetSerialPort port;
    CallbackLog calls;
    CQMNetLink link;
};

TEST_F(XModem, TwoFullBlocksThenEndOfTransmission)
{
    const std::string image = Image(256);
    const std::string path = WriteImage(image);
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 2); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 2u);
    EXPECT_EQ(receiver.blocks[0], Block(image, 0));
    EXPECT_EQ(ToHexText(Bytes(receiver.blocks[0].begin(), receiver.blocks[0].begin() + 3)), "0101FE");
    EXPECT_EQ(ToHexText(Bytes(receiver.blocks[1].begin(), receiver.blocks[1].begin() + 3)), "0102FD");
    EXPECT_EQ(receiver.blocks[1], Block(image, 1));
    EXPECT_EQ(ToHexText(receiver.tail), "04") << "EOT once";
    EXPECT_EQ(calls.Progress(),
              (std::vector<std::pair<int, int>>{{0, 256}, {128, 256}, {256, 256}}));
}

TEST_F(XModem, ShortLastBlockIsPaddedWithSubstitutes)
{
    const std::string image = Image(200);
    const std::string path = WriteImage(image);
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 2); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 2u);
    EXPECT_EQ(receiver.blocks[1], Block(image, 1));
    EXPECT_EQ(receiver.blocks[1][3 + 71], static_cast<unsigned char>(image[199]));
    for (int i = 72; i < 128; ++i)
        ASSERT_EQ(receiver.blocks[1][3 + i], 0x1A);
    EXPECT_EQ(calls.Progress().back(), (std::pair<int, int>{256, 200}));
}

TEST_F(XModem, BlockNumbersWrapAfter255)
{
    const std::string image = Image(33000);
    const std::string path = WriteImage(image);
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 258); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 258u);
    EXPECT_EQ(receiver.blocks[254][1], 0xFF);
    EXPECT_EQ(receiver.blocks[254][2], 0x00);
    EXPECT_EQ(receiver.blocks[255][1], 0x00) << "block 256";
    EXPECT_EQ(receiver.blocks[255][2], 0xFF);
    EXPECT_EQ(receiver.blocks[256][1], 0x01);
    for (std::size_t i = 0; i < receiver.blocks.size(); ++i)
        ASSERT_EQ(receiver.blocks[i], Block(image, i)) << "block " << i + 1;
    EXPECT_EQ(ToHexText(receiver.tail), "04");
}

TEST_F(XModem, RefusedBlockIsSentAgainAndThenAccepted)
{
    const std::string image = Image(384);
    const std::string path = WriteImage(image);
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 3, 1, 2); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 5u);
    EXPECT_EQ(receiver.blocks[1], Block(image, 1));
    EXPECT_EQ(receiver.blocks[2], Block(image, 1));
    EXPECT_EQ(receiver.blocks[3], Block(image, 1));
    EXPECT_EQ(receiver.blocks[4], Block(image, 2));
}

TEST_F(XModem, BlockRefusedThreeTimesStopsTheTransferWithoutEndOfTransmission)
{
    const std::string image = Image(384);
    const std::string path = WriteImage(image);
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 0, 0, 3); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::NotAcknowledged);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 3u);
    for (const Bytes& block : receiver.blocks)
        EXPECT_EQ(block, Block(image, 0));
    EXPECT_EQ(ToHexText(receiver.tail), "1818") << "no fourth attempt and no EOT, but a cancel";
    EXPECT_EQ(calls.Progress(), (std::vector<std::pair<int, int>>{{0, 384}}));
}

TEST_F(XModem, FileThatCannotBeOpenedSendsOnlyTheCancel)
{
    EXPECT_EQ(link.SendFirmwareFile(port, JoinPath(folder.Root(), "missing.rom")), LinkStatus::FirmwareFileNotOpened);
    EXPECT_EQ(link.SendFirmwareFile(port, ""), LinkStatus::FirmwareFileNotOpened);
    EXPECT_EQ(ToHexText(peer->Read(5, 300)), "18181818") << "a cancel each, and no block";
    EXPECT_TRUE(calls.Progress().empty());
}

TEST_F(XModem, Utf8PathIsUsedAsItIs)
{
    const std::string image = Image(100);
    const std::string path = WriteImage(image, "Firmware \xC3\xA9t\xC3\xA9 \xE2\x82\xAC.rom");
    ScriptedReceiver receiver;
    std::thread device([&] { receiver.Run(*peer, 1); });
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    device.join();
    ASSERT_EQ(receiver.blocks.size(), 1u);
    EXPECT_EQ(receiver.blocks[0], Block(image, 0));
}

TEST(XModemEnd, EndOfTransmissionIsWrittenOnceMoreWhenTheFirstWriteFails)
{
    TempDataFolder folder;
    const std::string path = JoinPath(folder.Root(), "one.rom");
    WriteWholeFile(path, "x");
    CQMNetLink link;
    ScriptedPort port;
    port.Feed({kNak, kAck});   // start signal, the block's acknowledge
    port.failWrites = 0;
    // The block goes out; then the EOT write fails once and is repeated.
    struct FailingEot : ScriptedPort
    {
        LinkStatus Write(const unsigned char* bytes, int count) override
        {
            if (count == 1 && eotFailures-- > 0)
            {
                writes.push_back({});
                return LinkStatus::WriteFailed;
            }
            return ScriptedPort::Write(bytes, count);
        }
        int eotFailures = 1;
    } failing;
    failing.Feed({kNak, kAck});
    EXPECT_EQ(link.SendFirmwareFile(failing, path), LinkStatus::Ok);
    ASSERT_EQ(failing.writes.size(), 3u);
    EXPECT_EQ(failing.writes[1], Bytes{});
    EXPECT_EQ(failing.writes[2], Bytes{0x04});

    failing.writes.clear();
    failing.eotFailures = 2;
    failing.Feed({kNak, kAck});
    EXPECT_EQ(link.SendFirmwareFile(failing, path), LinkStatus::WriteFailed) << "only one extra try";
    EXPECT_EQ(failing.writes.size(), 3u);
}

TEST_F(XModem, LrzszReceiverGetsTheImagePaddedToWholeBlocks)
{
    const std::string image = Image(33000, 99);
    const std::string path = WriteImage(image);
    const std::string received = JoinPath(folder.Root(), "received.bin");
    RxRelay rx(peer->MasterFd(), received, 30000);
    port.SetReadTimeout(1500);   // rx acknowledges the EOT after a second of quiet
    EXPECT_EQ(link.SendFirmwareFile(port, path), LinkStatus::Ok);
    // The device's acknowledge of the EOT is what the transfer stage waits for.
    EXPECT_EQ(link.Receive(port, 2), LinkStatus::Ok);
    EXPECT_EQ(link.MakeResponseRecord()[0], kAck);
    EXPECT_EQ(rx.Wait(), 0) << ReadWholeFile(received + ".rx.log");
    std::string padded = image;
    padded.append(128 - image.size() % 128, '\x1A');
    EXPECT_TRUE(ReadWholeFile(received) == padded) << "received " << ReadWholeFile(received).size() << " bytes";
    EXPECT_EQ(rx.BytesToReceiver(), 258u * 132u + 1u) << "no block sent twice";
}

TEST_F(XModem, UpgradeRequestThenTransferStageThroughTheWorker)
{
    port.Close();
    const std::string image = Image(1000, 3);
    const std::string path = WriteImage(image);
    const std::string received = JoinPath(folder.Root(), "received.bin");
    CQMNetLink worker;
    StartUpgrade(worker, path, 800);
    ASSERT_EQ(ToHexText(peer->Read(5, 2000)), "0255005503");
    std::unique_ptr<RxRelay> rx;
    peer->Write({0x06});   // the device is ready: the request needs no frame back
    rx = std::make_unique<RxRelay>(peer->MasterFd(), received, 30000);
    ASSERT_TRUE(calls.WaitForResponses(1, 20000));
    const auto responses = calls.Responses();
    ASSERT_EQ(responses.size(), 1u) << "no callback for the request's own answer";
    EXPECT_EQ(responses[0].status, LinkStatus::Ok);
    EXPECT_EQ(responses[0].code, 255);
    EXPECT_EQ(responses[0].commandCode, 255);
    EXPECT_EQ(rx->Wait(), 0) << ReadWholeFile(received + ".rx.log");
    std::string padded = image;
    padded.append(128 - image.size() % 128, '\x1A');
    EXPECT_TRUE(ReadWholeFile(received) == padded) << "received " << ReadWholeFile(received).size() << " bytes";
    EXPECT_EQ(calls.Progress().back(), (std::pair<int, int>{1024, 1000}));
}

TEST_F(XModem, StopInTheMiddleOfATransferCancelsItAtOnce)
{
    port.Close();
    const std::string path = WriteImage(Image(128 * 40));
    CQMNetLink worker;
    StartUpgrade(worker, path, 2000);   // an unanswered block would hold the worker for 12 s
    ASSERT_EQ(ToHexText(peer->Read(5, 2000)), "0255005503");
    peer->Write({0x06});
    peer->Write({kNak});
    ASSERT_EQ(peer->Read(132, 3000).size(), 132u);
    peer->Write({kAck});
    ASSERT_EQ(peer->Read(132, 3000).size(), 132u);   // left unanswered
    const auto start = std::chrono::steady_clock::now();
    worker.RequestStop();
    ASSERT_TRUE(calls.WaitForThreadExit(3000));
    EXPECT_LT(ElapsedMs(start), 300);
    EXPECT_EQ(ToHexText(peer->ReadUntilQuiet(100, 1000)), "1818") << "the unit is told to leave its upload mode";
    const auto responses = calls.Responses();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].status, LinkStatus::Stopped);
    EXPECT_EQ(responses[0].code, CommandCode::FirmwareTransfer);
}
}
