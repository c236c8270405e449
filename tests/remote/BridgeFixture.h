#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Broker.h"
#include "config/AppSettings.h"
#include "device/QuillmereManager.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "remote/RemoteBridge.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/ManualTimerService.h"
#include "tests/support/TempDataFolder.h"

// The program's long-lived objects wired as start-up wires them, the simulated unit on a
// pseudo-terminal, a real broker, and the bridge between them. The test thread plays the UI
// thread: commands the bridge hands over wait in a list until RunUiTasks.
class BridgeFixture : public ::testing::Test
{
public:
    static constexpr int kComPort = 7;
    static constexpr const char* kSite = "kiosk-17";
    static constexpr const char* kBase = "quillmere/kiosk-17";

protected:

    void SetUp() override;
    void TearDown() override;

    // Starts the broker (with options) and the unit.
    void StartSite(Broker::Options options = {});
    // Starts the link and polls once, as the main window does; after StartBridge, because
    // observers are attached only while no other thread notifies.
    void ConnectLink();
    CRemoteConfig Config() const;
    bool StartBridge(const CRemoteConfig& config);

    std::size_t RunUiTasks();
    std::size_t PendingUiTasks();
    std::vector<std::string> LogLines() const;   // "Level,description"
    bool WaitForLog(const std::string& entry, int timeoutMs = 10000) const;
    bool WaitForFrame(const std::string& prefix, int timeoutMs = 10000);   // a frame the unit received

    // Counts the answers to the link's own commands (after the bridge, which attached first, saw them).
    class AnswerCounter final : public CObserver
    {
    public:
        void Update(CEventArgs* args) override;
        std::atomic<int> answers{0};
    };

    TempDataFolder folder;
    AnswerCounter answers;
    ManualTimerService timers;
    CQuillmereManager manager;
    CAppSettings settings;
    CQMNetLink link;
    CLog log;
    std::unique_ptr<Broker> broker;
    std::unique_ptr<DevSimProcess> unit;
    std::unique_ptr<CRemoteBridge> bridge;

    std::mutex tasksMutex;
    std::vector<CRemoteBridge::Task> tasks;
};
