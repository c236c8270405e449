#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "RemoteConfig.h"
#include "RemotePayloads.h"
#include "core/Clock.h"
#include "protocol/StatusCodes.h"

class CAppSettings;
class CLog;
class CNetworkMonitor;
class CQuillmereDeviceStatus;
class CQuillmereManager;

// What this site shows on the broker: the availability topics, the coalesced status, the
// relay and monitor states, Home Assistant's discovery (and the removal of entities an
// earlier run announced that this one no longer has), and the event topic with its queue of
// what was logged while offline.
//
// Its record handlers run on whatever thread raised the record and only queue in the broker
// library; Connected, FlushDue and OldDiscoverySeen run on the bridge thread. One mutex
// guards it, held for in-memory work and the library's queueing calls only.
class CBridgePublisher
{
public:
    // Queues one message in the broker library; false when it could not.
    using Sender = std::function<bool(const std::string& topic, const std::string& payload, bool retain)>;

    static constexpr std::chrono::milliseconds kStatusInterval{200};
    static constexpr std::size_t kMaxOfflineEvents = 100;
    // After connecting, discovery waits this long at most for the unit's firmware and ICCID, so
    // that each entity's config goes out once, with its final device block.
    static constexpr std::chrono::seconds kIdentityWait{10};

    CBridgePublisher(CQuillmereManager* manager, Sender sender, const IClock& clock);

    void SetConfig(const CRemoteConfig& config);

    // Record handlers, any thread.
    void OnLogLine(const std::string& line);
    void OnRelayState(int relay, int state);
    void OnLinkResult(int type, LinkStatus result);
    void OnUnitReachability();
    void StatusChanged();
    // On the UI thread, where the settings may be read (they are raised there).
    void TakeSettingsSnapshot();
    // What was kept for the event topic is let go (a start that did not start).
    void ForgetOfflineEvents();

    // Bridge thread: the broker took the connection (subscriptions are made): everything goes
    // out again, then what was logged meanwhile.
    void Connected();
    void Disconnected();
    // Queues "offline" when connected and publishes nothing more; whether it was connected.
    bool GoOffline();
    // Bridge thread: a retained discovery config the broker kept; one this run does not
    // announce is removed.
    void OldDiscoverySeen(const std::string& topic);
    // Bridge thread: a status held back by the coalescing goes out once its interval is over.
    void FlushDue();
    std::chrono::milliseconds Due() const;
    // A change is held back by the coalescing and not yet handed to the library.
    bool IsHoldingStatus() const;

private:
    // All with m_mutex held.
    bool PublishLocked(const std::string& topic, const std::string& payload, bool retain);
    // False when the broker holds it already (or it could not be queued).
    bool PublishRetainedLocked(const std::string& topic, const std::string& payload);
    void PublishUnitAvailabilityLocked();
    void FlushStatusLocked();
    void FlushIfQuietLocked();
    void PublishMonitorsLocked();
    void PublishDiscoveryLocked(bool send = true);
    void SendDiscoveryWhenDueLocked();
    void PublishEventLocked(const std::string& json);
    std::vector<CRemoteRelayView> RelayViewsLocked();

    CQuillmereManager* m_manager;
    CQuillmereDeviceStatus* m_status;
    CAppSettings* m_settings;
    CLog* m_log;
    Sender m_sender;
    std::set<std::string> m_standInsTold;   // UI thread only: monitor names told of in this run
    const IClock& m_clock;

    mutable std::mutex m_mutex;
    CRemoteConfig m_config;
    std::string m_base;   // "<prefix>/<site>"
    bool m_connected = false;
    std::vector<CRemoteRelayView> m_relaySettings;   // names and permissions, copied on the UI thread
    std::vector<std::pair<CRemoteMonitorView, std::shared_ptr<CNetworkMonitor>>> m_monitors;
    std::string m_linkError;
    bool m_statusDirty = true;
    IClock::Steady::time_point m_lastStatus{};
    std::map<std::string, std::string> m_retained;   // topic -> payload the broker holds
    std::set<std::string> m_discoveryTopics;
    bool m_discoverySent = false;   // in this connection
    IClock::Steady::time_point m_discoveryDue{};
    std::vector<std::string> m_monitorNames;   // as the discovery last had them
    CRemoteDeviceInfo m_deviceInfo;            // as the discovery last had it
    std::set<std::string> m_monitorTopics;
    std::deque<std::string> m_offlineEvents;
    std::uint64_t m_droppedEvents = 0;
};
