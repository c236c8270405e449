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
    // The pace commands reach the UI thread at: a bucket of kCommandBurst that refills at
    // kCommandsPerSecond. A relay's command that finds the bucket empty waits in its relay's
    // one slot, where a newer one replaces it; a poll finds it empty and is refused.
    static constexpr double kCommandsPerSecond = 5.0;
    static constexpr double kCommandBurst = 10.0;
    static constexpr std::chrono::seconds kResetInterval{30};
    static constexpr std::chrono::seconds kFirstRetry{1};
    static constexpr std::chrono::seconds kLastRetry{60};
    // A connection must live this long before the back-off starts again from kFirstRetry.
    static constexpr std::chrono::seconds kSettledLife{60};
    // A connection the broker ends sooner than this after accepting it counts as cut short;
    // kConflictCount of those within kSettledLife mean another client uses this site's id.
    static constexpr std::chrono::seconds kShortLife{10};
    static constexpr std::size_t kConflictCount = 3;
    // An attempt that neither connects nor fails within this long is given up and retried
    // (a TLS handshake with a broker that went away may otherwise wait for ever).
    static constexpr std::chrono::seconds kConnectTimeout{5};
    // After connecting, the site's own retained "online" must come back to it within this
    // long; otherwise the broker does not pass its messages on (an ACL that does not fit).
    static constexpr std::chrono::seconds kSelfCheckWait{5};

    // The manager must have its settings and log; all three outlive the bridge.
    CRemoteBridge(CQuillmereManager* manager, Poster poster);
    ~CRemoteBridge();
    CRemoteBridge(const CRemoteBridge&) = delete;
    CRemoteBridge& operator=(const CRemoteBridge&) = delete;

    // Reads mqtt.conf from the data folder and starts when it is there and enabled. Without
    // the file nothing happens at all; a bad file is one log line and the bridge stays off.
    bool Start();
    bool Start(const CRemoteConfig& config);
    // Keeps every log line from now on for the broker, before Start reads mqtt.conf, so that
    // a run's first lines ("Application Started" included) go out once it connects. A Start
    // that does not start the bridge lets go of the log and of what it kept.
    void ListenToLogEarly();
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
    using Clock = std::chrono::steady_clock;

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
    void IgnoreRetained(const std::string& topic);
    void OwnAvailabilitySeen();                                  // bridge thread
    void CheckOwnAvailability();                                 // bridge thread
    void OldDiscoverySeen(const std::string& topic);             // bridge thread
    void LetGoOfLog();
    bool TakeToken();                 // with m_paceMutex held
    void PostWaitingRelays();         // bridge thread
    void PostRelay(int relay);        // bridge thread, m_paceMutex not held
    void FlushRefusals();
    // After a connection ended: whether it was one of a site conflict's, and the new delay.
    bool NoteConnectionEnd(Clock::duration lived, std::chrono::milliseconds& delay);
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
    void PublishUnitAvailabilityLocked();
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
    bool m_logAttached = false;   // UI thread only
    std::string m_statusLine;
    std::vector<CRemoteRelayView> m_relaySettings;   // names and permissions, copied on the UI thread
    std::vector<std::pair<CRemoteMonitorView, std::shared_ptr<CNetworkMonitor>>> m_monitors;
    std::string m_linkError;
    bool m_statusDirty = true;
    std::chrono::steady_clock::time_point m_lastStatus{};
    std::map<std::string, std::string> m_retained;   // topic -> payload the broker holds
    std::set<std::string> m_discoveryTopics;
    std::vector<std::string> m_monitorNames;   // as the discovery last had them
    CRemoteDeviceInfo m_deviceInfo;            // as the discovery last had it
    std::set<std::string> m_monitorTopics;
    std::deque<std::string> m_offlineEvents;
    std::uint64_t m_droppedEvents = 0;

    // A relay's newest command and whether a task for it is already on its way to the UI thread.
    struct RelaySlot
    {
        CRemoteCommand Command;
        bool Posted = false;
    };
    std::mutex m_paceMutex;
    std::map<int, RelaySlot> m_relaySlots;
    double m_tokens = kCommandBurst;
    Clock::time_point m_tokensAt{};
    Clock::time_point m_lastReset{};
    bool m_resetTaken = false;

    std::mutex m_refusalMutex;
    std::chrono::steady_clock::time_point m_lastRefusalLog{};
    bool m_refusalLogged = false;
    std::uint64_t m_refusalsUnlogged = 0;

    std::mutex m_libraryErrorMutex;   // the library logs from inside its own calls
    std::string m_libraryError;
    std::string m_connackError;       // written on the bridge thread only
    bool m_connectedThisAttempt = false;   // bridge thread only
    Clock::time_point m_connectedAt{};     // bridge thread only
    std::deque<Clock::time_point> m_shortConnections;   // bridge thread only
    bool m_siteConflict = false;           // bridge thread only
    std::set<std::string> m_retainedIgnored;   // bridge thread only: topics already logged
    bool m_ownAvailabilitySeen = false;        // bridge thread only: in this connection
    bool m_selfCheckShown = false;             // bridge thread only: on the Remote line, this connection
    bool m_selfCheckReported = false;          // bridge thread only: in this run
};
