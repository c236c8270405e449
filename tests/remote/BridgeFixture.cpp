#include "BridgeFixture.h"

#include <sstream>
#include <typeinfo>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "protocol/CommandResponse.h"

void BridgeFixture::AnswerCounter::Update(CEventArgs* args)
{
    if (args != nullptr && typeid(*args) == typeid(CCommandResponse))
        ++answers;
}

void BridgeFixture::SetUp()
{
    manager.SetSettings(&settings);
    manager.SetLinkEngine(&link);
    log.Open();
    manager.SetLog(&log);
    manager.SetTimerService(&timers);
    manager.SetLinkTiming({3, 20, 300});
    settings.SetComPort(kComPort);
    bridge = std::make_unique<CRemoteBridge>(&manager, [this](CRemoteBridge::Task task) {
        std::lock_guard<std::mutex> guard(tasksMutex);
        tasks.push_back(std::move(task));
    });
    bridge->SetRefusalLogInterval(std::chrono::milliseconds(0));
}

void BridgeFixture::TearDown()
{
    manager.Stop();
    manager.WaitForThreads();
    manager.Detach(&answers);
    bridge->Stop();
    RunUiTasks();
}

void BridgeFixture::StartSite(Broker::Options options)
{
    broker = std::make_unique<Broker>(options);
    ASSERT_TRUE(broker->Start()) << broker->Error();
    ASSERT_TRUE(CreateDirectoryTree(JoinPath(GetDataFolder(), "ports")));
    unit = std::make_unique<DevSimProcess>(
        std::vector<std::string>{"--data-folder", GetDataFolder(), "--com", std::to_string(kComPort)}, 120);
    ASSERT_TRUE(unit->Started()) << unit->Error();
}

void BridgeFixture::ConnectLink()
{
    manager.Attach(&answers);
    manager.Connect();
    manager.StartPolling();
    // The eight commands of the poll answered (after both enables): every field has been set.
    ASSERT_TRUE(WaitUntil([this] { return answers.answers >= 8; }, 15000));
    // The last status of the poll is out once the bridge's coalescing holds nothing back.
    ASSERT_TRUE(WaitUntil([this] { return !bridge->IsHoldingStatus(); }, 10000));
}

CRemoteConfig BridgeFixture::Config() const
{
    CRemoteConfig config;
    config.Enabled = true;
    config.Host = "127.0.0.1";
    config.Port = broker->Port();
    config.Site = kSite;
    config.KeepAlive = 10;
    return config;
}

bool BridgeFixture::StartBridge(const CRemoteConfig& config)
{
    if (!bridge->Start(config))
        return false;
    return WaitUntil([this] { return bridge->IsConnected(); }, 10000);
}

std::size_t BridgeFixture::RunUiTasks()
{
    std::vector<CRemoteBridge::Task> due;
    {
        std::lock_guard<std::mutex> guard(tasksMutex);
        due.swap(tasks);
    }
    for (auto& task : due)
        task();
    return due.size();
}

std::size_t BridgeFixture::PendingUiTasks()
{
    std::lock_guard<std::mutex> guard(tasksMutex);
    return tasks.size();
}

std::vector<std::string> BridgeFixture::LogLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(JoinPath(GetDataFolder(), CLog::kFileName)));
    for (std::string line; std::getline(in, line);)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto comma = line.find(',');
        lines.push_back(comma == std::string::npos ? line : line.substr(comma + 1));
    }
    return lines;
}

bool BridgeFixture::WaitForLog(const std::string& entry, int timeoutMs) const
{
    return WaitUntil(
        [&] {
            for (const std::string& line : LogLines())
                if (line.find(entry) != std::string::npos)
                    return true;
            return false;
        },
        timeoutMs);
}

bool BridgeFixture::WaitForFrame(const std::string& prefix, int timeoutMs)
{
    return WaitUntil(
        [&] {
            for (const std::string& frame : unit->ReceivedFrames())
                if (frame.compare(0, prefix.size(), prefix) == 0)
                    return true;
            return false;
        },
        timeoutMs);
}
