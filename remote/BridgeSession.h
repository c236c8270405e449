#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "RemoteConfig.h"
#include "core/Clock.h"

class CStopSignal;

struct mosquitto;
struct mosquitto_message;
class CLog;

// The connection to the broker and the thread that keeps it: connect, reconnect on a
// back-off, give up an attempt that hangs, tell another client using this site's id from a
// broken line, and check after connecting that the broker passes this site's own messages
// back (an ACL that does not fit keeps them from it).
//
// It speaks MQTT 5, so that a subscription can ask for the retain flag as published (a
// retained command is then recognised whenever it comes), and falls back to 3.1.1 only when
// the broker refuses 5. The broker's name is looked up before each attempt on a helper with
// a deadline, which a stop cuts short; the library is then given the address, so that no
// lookup ever runs on the thread a stop joins. With a verified TLS connection the library is
// given the name instead: it checks the server's certificate against what it connected to.
//
// The thread is its own (the bridge thread); every hook runs there. Publish and Subscribe
// only queue in the library and may be called from any thread while the session runs.
class CBridgeSession
{
public:
    struct Hooks
    {
        std::function<void()> connected;      // subscribe and publish what a new connection needs
        std::function<void()> disconnected;
        std::function<void(const std::string& topic, std::string_view payload, bool retained)> message;
        std::function<void()> tick;                            // once per turn of the loop
        std::function<std::chrono::milliseconds()> due;        // how long the loop may wait
        std::function<void()> lineChanged;                     // the Remote line is new; no lock held
        // The stop was asked for: queue the goodbye (which also wakes the loop). Called by
        // Stop's caller once the stop is set, and again on the bridge thread before it
        // disconnects, so that it is queued before the disconnect whichever comes first.
        std::function<void()> stopping;
    };

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
    // A name lookup that has not answered within this long counts as failed.
    static constexpr std::chrono::seconds kLookupBudget{5};
    static constexpr const char* kFallbackNote =
        " (MQTT 3.1.1: a retained command sent while connected cannot be told from a live one)";

    CBridgeSession(CLog* log, Hooks hooks, const IClock& clock);
    ~CBridgeSession();
    CBridgeSession(const CBridgeSession&) = delete;
    CBridgeSession& operator=(const CBridgeSession&) = delete;

    // Makes the library's client for config; a failure is one log line, the reason on the
    // Remote line, and false.
    bool Configure(const CRemoteConfig& config);
    void Start();
    // Ends the thread (the stopping hook's goodbye to a connected broker, at most about half
    // a second), then the library's client.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }

    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    // retainAsPublished: the broker keeps the retain flag of what it passes on live (MQTT 5).
    void Subscribe(const std::string& filter, bool retainAsPublished = false);
    // False once the broker refused MQTT 5 and the session speaks 3.1.1.
    bool SpeaksMqtt5() const { return m_mqtt5.load(); }

    bool IsConnected() const;
    // Whether every message queued since connecting was acknowledged by the broker.
    bool IsAcknowledged() const { return m_unacknowledged.load() <= 0; }
    std::string StatusLine() const;
    void SetStatusLine(const std::string& line);

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnLibraryLog(mosquitto*, void* self, int level, const char* text);

    void Run();
    // The address to give the library for this attempt; empty when the name did not resolve.
    std::string ConnectHost();
    void FallBackToMqtt311();
    std::string ConnectedLine() const;
    void HandleConnected();
    void WaitBeforeRetry(std::chrono::milliseconds& delay);
    int LoopTimeoutMs();
    // After a connection ended: whether it was one of a site conflict's, and the new delay.
    bool NoteConnectionEnd(IClock::Steady::duration lived, std::chrono::milliseconds& delay);
    void SetOffline(const std::string& reason);
    std::string TakeLibraryError();
    void OwnAvailabilitySeen();
    void CheckOwnAvailability();

    CLog* m_log;
    Hooks m_hooks;
    const IClock& m_clock;
    CRemoteConfig m_config;
    std::string m_endpoint;       // "host:port"
    std::string m_availability;   // "<prefix>/<site>/availability"
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::shared_ptr<CStopSignal> m_cancel;   // cuts a lookup short at a stop; one per Start
    std::atomic<bool> m_mqtt5{true};
    std::atomic<int> m_unacknowledged{0};   // queued and not yet acknowledged (all are QoS 1)

    mutable std::mutex m_mutex;   // guards the two below and wakes a wait to retry
    std::condition_variable m_wake;
    bool m_connected = false;
    std::string m_statusLine;

    std::mutex m_libraryErrorMutex;   // the library logs from inside its own calls
    std::string m_libraryError;

    // Bridge thread only.
    std::string m_connackError;
    bool m_mqtt5Refused = false;   // by the broker, in this attempt
    bool m_connectedThisAttempt = false;
    IClock::Steady::time_point m_connectedAt{};
    std::deque<IClock::Steady::time_point> m_shortConnections;
    bool m_siteConflict = false;
    bool m_ownAvailabilitySeen = false;   // in this connection
    bool m_selfCheckShown = false;        // on the Remote line, this connection
    bool m_selfCheckReported = false;     // in this run
};
