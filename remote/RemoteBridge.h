#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RemoteCommand.h"
#include "RemoteConfig.h"
#include "RemotePayloads.h"
#include "core/Observer.h"
#include "protocol/StatusCodes.h"

struct mosquitto;
struct mosquitto_message;
class CAppSettings;
class CLog;
class CNetworkMonitor;
class CQuillmereDeviceStatus;
class CQuillmereManager;

// Publishes this site's unit to an MQTT broker and, when allowed, takes commands from it.
//
// It observes the manager, the status model, the settings and the log like any other
// observer. Observers run on whatever thread raised the record and only hand work to the
// broker library, which queues it in memory: no window, timer or link step ever waits for
// the broker. One thread of its own drives the connection (connect, reconnect with backoff,
// keep-alive, reading commands) and publishes the coalesced status.
//
// Commands arrive on that thread and are handed to the program's UI thread through the
// poster given at construction, where they go through the manager like a click; at most
// kMaxPendingCommands wait there at once, the rest are refused.
class CRemoteBridge final : public CObserver
{
public:
    using Task = std::function<void()>;
    using Poster = std::function<void(Task)>;   // runs the task later on the UI thread

    static constexpr const char* kCommandSource = "remote operator over MQTT";
    static constexpr std::chrono::milliseconds kStatusInterval{200};
    static constexpr std::size_t kMaxOfflineEvents = 100;
    static constexpr int kMaxPendingCommands = 8;
    static constexpr std::chrono::seconds kFirstRetry{1};
    static constexpr std::chrono::seconds kLastRetry{60};

    // The manager must have its settings and log; all three outlive the bridge.
    CRemoteBridge(CQuillmereManager* manager, Poster poster);
    ~CRemoteBridge();
    CRemoteBridge(const CRemoteBridge&) = delete;
    CRemoteBridge& operator=(const CRemoteBridge&) = delete;

    // Reads mqtt.conf from the data folder and starts when it is there and enabled. Without
    // the file nothing happens at all; a bad file is one log line and the bridge stays off.
    bool Start();
    bool Start(const CRemoteConfig& config);
    // Says "offline", disconnects, ends the thread and detaches. On the UI thread, once the
    // link worker and the ping checks have ended. Waits for the broker at most about 2 s.
    void Stop();

    bool IsRunning() const { return m_thread.joinable(); }
    bool IsConnected() const;
    // "Remote: connected to host:port" or "Remote: offline (reason)"; empty when not running.
    std::string GetStatusLine() const;

    // Refused commands are logged at most once per this interval (tests shorten it).
    void SetRefusalLogInterval(std::chrono::milliseconds interval) { m_refusalInterval = interval; }

    void Update(CEventArgs* args) override;

private:

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLibraryLog(mosquitto*, void* self, int level, const char* text);

    bool Configure();
    void Run();
    void WaitBeforeRetry(std::chrono::milliseconds& delay);
    int LoopTimeoutMs();
    void HandleConnected();
    void HandleCommand(const std::string& topic, const std::string& payload);
    void Execute(const CRemoteCommand& command);
    void Refuse(const std::string& reason);
    void SetOffline(const std::string& reason);
    std::string TakeLibraryError();

    void OnLogLine(const std::string& line);
    void OnRelayState(int relay, int state);
    void ShowStatusLine();
    void OnLinkResult(int type, LinkStatus result);
    void TakeSettingsSnapshot();
    void StatusChanged();

    // All with m_mutex held.
    bool PublishLocked(const std::string& topic, const std::string& payload, bool retain);
    void PublishRetainedLocked(const std::string& topic, const std::string& payload);
    void FlushStatusLocked(std::chrono::steady_clock::time_point now);
    void PublishDiscoveryLocked();
    void PublishEventLocked(const std::string& json);
    std::vector<CRemoteRelayView> RelayViewsLocked();

    CQuillmereManager* m_manager;
    CQuillmereDeviceStatus* m_status;
    CAppSettings* m_settings;
    CLog* m_log;
    Poster m_poster;
    CRemoteConfig m_config;
    std::string m_endpoint;   // "host:port"
    std::string m_base;       // "<prefix>/<site>"
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pendingCommands{0};
    std::chrono::milliseconds m_refusalInterval{std::chrono::minutes(1)};

    // Guards everything below. Held only for in-memory work and the library's queueing
    // calls; never while writing the log (whose observers include this object).
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_connected = false;
    bool m_attached = false;
    std::string m_statusLine;
    std::vector<CRemoteRelayView> m_relaySettings;   // names and permissions, copied on the UI thread
    std::vector<std::pair<CRemoteMonitorView, std::shared_ptr<CNetworkMonitor>>> m_monitors;
    std::string m_linkError;
    bool m_statusDirty = true;
    std::chrono::steady_clock::time_point m_lastStatus{};
    std::map<std::string, std::string> m_retained;   // topic -> payload the broker holds
    std::set<std::string> m_discoveryTopics;
    std::set<std::string> m_monitorTopics;
    std::deque<std::string> m_offlineEvents;
    std::uint64_t m_droppedEvents = 0;

    std::mutex m_refusalMutex;
    std::chrono::steady_clock::time_point m_lastRefusalLog{};
    bool m_refusalLogged = false;
    std::uint64_t m_refusalsUnlogged = 0;

    std::mutex m_libraryErrorMutex;   // the library logs from inside its own calls
    std::string m_libraryError;
    std::string m_connackError;       // written on the bridge thread only
    bool m_connectedThisAttempt = false;   // bridge thread only
};
