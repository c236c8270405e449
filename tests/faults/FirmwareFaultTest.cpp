#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "FaultFixture.h"
#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "protocol/CommandCodes.h"
#include "device/QuillmereManager.h"
#include "protocol/StatusCodes.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "tests/support/ManualTimerService.h"

// A firmware file can only be chosen through the window, so these faults of the upload run on
// the program's own objects, wired as start-up wires them, against the simulated unit. The
// link's read time-out is shortened; what goes over the wire is the same.
namespace
{
using namespace faults;

std::string Image(std::size_t size)
{
    std::string image(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>(i * 13 + 5);
    return image;
}
}

class FirmwareFault : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(JoinPath(GetDataFolder(), "ports"));
        m_sim = std::make_unique<DevSimProcess>(
            std::vector<std::string>{"--com", std::to_string(kComPort), "--data-folder", GetDataFolder(),
                                     "--xmodem-nak-ms", "300"},
            60);
        ASSERT_TRUE(m_sim->Started()) << m_sim->Error();
        m_settings.SetComPort(kComPort);
        m_manager.SetSettings(&m_settings);
        m_manager.SetLinkEngine(&m_link);
        m_log.Open();
        m_manager.SetLog(&m_log);
        m_manager.SetTimerService(&m_timers);
        m_manager.SetLinkTiming({3, 20, 300});
        m_imagePath = m_folder.Root() + "/update.rom";
        WriteWholeFile(m_imagePath, Image(1000));
    }

    void TearDown() override
    {
        m_manager.Stop();
        m_manager.WaitForThreads();
    }

    std::vector<std::string> LogEntries() const
    {
        std::vector<std::string> entries;
        std::istringstream in(ReadWholeFile(JoinPath(GetDataFolder(), CLog::kFileName)));
        for (std::string line; std::getline(in, line);)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (const auto comma = line.find(','); comma != std::string::npos)
                entries.push_back(line.substr(comma + 1));
        }
        return entries;
    }

    std::size_t CountEntries(const std::string& entry) const
    {
        const auto entries = LogEntries();
        return static_cast<std::size_t>(std::count(entries.begin(), entries.end(), entry));
    }

    std::size_t RelayStatusAnswers() const
    {
        const auto frames = m_sim->SentFrames();
        return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), [](const std::string& f) {
            return f.rfind("02 01 04", 0) == 0;
        }));
    }

    // Asks for the relay status until the unit answers; true when it did within the time.
    bool AnswersAgainWithin(int timeoutMs)
    {
        const std::size_t before = RelayStatusAnswers();
        return WaitFor(
            [&] {
                if (RelayStatusAnswers() > before)
                    return true;
                m_manager.RequestRelayStatus();
                return WaitFor([&] { return RelayStatusAnswers() > before; }, 1500);
            },
            timeoutMs);
    }

    static std::string TransferError(LinkStatus status)
    {
        return "Error,Error for " + GetCommandName(CommandCode::FirmwareTransfer) + " command " + GetErrorText(status);
    }

    TempDataFolder m_folder;
    std::unique_ptr<DevSimProcess> m_sim;
    ManualTimerService m_timers;
    CQuillmereManager m_manager;
    CAppSettings m_settings;
    CQMNetLink m_link;
    CLog m_log;
    std::string m_imagePath;
};

TEST_F(FirmwareFault, RefusedBlocksAreSentAgainAndTheImageArrivesWhole)
{
    ASSERT_TRUE(m_sim->Command("refuse-blocks 2"));
    m_manager.UpdateFirmware(m_imagePath);
    m_manager.Connect();
    ASSERT_TRUE(m_sim->WaitForTranscriptLine("firmware received", 20000));
    const std::string stored = ReadWholeFile(m_sim->FirmwarePath());
    EXPECT_EQ(stored.substr(0, 1000), Image(1000));
    EXPECT_EQ(stored.size(), 1024u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const std::string& entry : LogEntries())
        EXPECT_EQ(entry.find("Error"), std::string::npos) << entry;
    EXPECT_TRUE(AnswersAgainWithin(5000));
}

TEST_F(FirmwareFault, ABlockRefusedEveryTimeFailsTheUploadWithItsTextAndTheUnitIsHeardAgain)
{
    ASSERT_TRUE(m_sim->Command("refuse-blocks 100"));
    m_manager.UpdateFirmware(m_imagePath);
    m_manager.Connect();
    // The transfer stops without its end byte and tells the unit with a cancel; the upload
    // reports the refusal itself, at once, in the log and as one Event line.
    ASSERT_TRUE(WaitFor([&] { return CountEntries(TransferError(LinkStatus::NotAcknowledged)) == 1; }, 20000))
        << ReadWholeFile(JoinPath(GetDataFolder(), CLog::kFileName));
    EXPECT_EQ(CountEntries("Event,Firmware update failed: " + GetErrorText(LinkStatus::NotAcknowledged)), 1u);
    EXPECT_TRUE(m_sim->WaitForTranscriptLine("cancelled by the sender", 2000)) << "the unit still waits for blocks";
    EXPECT_FALSE(std::filesystem::exists(m_sim->FirmwarePath())) << "a refused upload was stored";
    // Once the unit has given the upload up, commands are answered again.
    ASSERT_TRUE(m_sim->Command("refuse-blocks 0"));
    EXPECT_TRUE(AnswersAgainWithin(20000)) << ReadWholeFile(m_sim->TranscriptPath());
}

TEST_F(FirmwareFault, AFileDeletedAfterItWasChosenFailsTheUploadAndTheLinkGoesOn)
{
    m_manager.UpdateFirmware(m_imagePath);
    ASSERT_TRUE(std::filesystem::remove(m_imagePath));
    m_manager.Connect();
    // No block is sent; the upload reports the file that did not open, and the cancel tells
    // the unit, which already waits for blocks, to give the upload up.
    ASSERT_TRUE(WaitFor([&] { return CountEntries(TransferError(LinkStatus::FirmwareFileNotOpened)) == 1; }, 20000))
        << ReadWholeFile(JoinPath(GetDataFolder(), CLog::kFileName));
    EXPECT_FALSE(std::filesystem::exists(m_sim->FirmwarePath()));
    EXPECT_TRUE(m_sim->WaitForTranscriptLine("cancelled by the sender", 2000));
    EXPECT_EQ(m_sim->WaitForTranscriptLine("RX 01 ", 300), false) << "a block was sent without a file";
    EXPECT_TRUE(AnswersAgainWithin(20000)) << ReadWholeFile(m_sim->TranscriptPath());
}

TEST_F(FirmwareFault, AStopHalfwayCancelsTheUploadAtOnceAndTheUnitAnswersTheNextRun)
{
    struct HalfwayWatch : CObserver
    {
        void Update(CEventArgs* args) override
        {
            if (auto* progress = dynamic_cast<CProgressChangedEventArgs*>(args))
                halfway = halfway || (progress->Total > 0 && progress->Position * 2 >= progress->Total);
        }
        std::atomic<bool> halfway{false};
    } watch;
    m_manager.Attach(&watch);
    WriteWholeFile(m_imagePath, Image(1 << 20));
    m_manager.UpdateFirmware(m_imagePath);
    m_manager.Connect();
    ASSERT_TRUE(WaitFor([&] { return watch.halfway.load(); }, 120000));

    const auto stopAt = std::chrono::steady_clock::now();
    m_manager.Stop();
    m_manager.WaitForThreads();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopAt);
    std::printf("stop halfway through a 1 MiB upload: worker ended %lld ms after the stop\n",
                static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 1000);
    m_manager.Detach(&watch);
    EXPECT_TRUE(m_sim->WaitForTranscriptLine("cancelled by the sender", 2000)) << "the unit still waits for blocks";
    std::istringstream transcript(ReadWholeFile(m_sim->TranscriptPath()));
    std::size_t blocks = 0;
    for (std::string line; std::getline(transcript, line);)
        blocks += line.find("RX 01 ") != std::string::npos ? 1 : 0;
    EXPECT_GE(blocks, 4096u) << "stopped before halfway";
    EXPECT_LT(blocks, 8192u) << "the whole image went";
    EXPECT_EQ(CountEntries("Event,Firmware update failed: the link was stopped, the transfer was cancelled"), 1u);
    const auto entries = LogEntries();
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const std::string& e) { return e.rfind("Error", 0) == 0; }), 0)
        << "a stop is no failure of the unit";

    m_manager.Connect();
    EXPECT_TRUE(AnswersAgainWithin(20000)) << ReadWholeFile(m_sim->TranscriptPath());
}
