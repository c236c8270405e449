#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "BridgePublisher.h"
#include "BridgeSession.h"
#include "CommandIntake.h"
#include "RemoteConfig.h"
#include "core/Clock.h"
#include "core/Observer.h"
#include "core/RecordRoutes.h"

class CQuillmereManager;

// Publishes this site's unit to an MQTT broker and, when allowed, takes commands from it.
//
// The owner of three parts, each with one job: the session keeps the connection on a thread
// of its own (the bridge thread); the publisher says what the site shows; the command intake
// takes commands in and hands them, paced, to the program's UI thread through the poster.
// Here they are wired, and the engine's records are routed to them by type: the bridge
// observes the manager, the status model, the settings and the log like any other observer,
// on whatever thread raised the record, and nothing it does there waits for the broker.
class CRemoteBridge final : public CObserver
{
public:
    using Task = CCommandIntake::Task;
    using Poster = CCommandIntake::Poster;   // runs the task later on the UI thread

    // The manager must have its settings and log; they and the clock outlive the bridge.
    CRemoteBridge(CQuillmereManager* manager, Poster poster, const IClock& clock = IClock::System());
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
    // Writes the counts of command lines still held back (refused, retained ones ignored), so
    // that they are in the log before the run's last line. On the UI thread.
    void WriteHeldCounts() { m_intake.WriteHeldCounts(); }
    // Says "offline", disconnects, ends the thread and detaches. On the UI thread, once the
    // link worker and the ping checks have ended. Waits for the broker at most about 2 s.
    void Stop();

    bool IsRunning() const { return m_session.IsRunning(); }
    bool IsConnected() const { return m_session.IsConnected(); }
    // "Remote: connected to host:port" or "Remote: offline (reason)"; empty when not running.
    std::string GetStatusLine() const { return m_session.StatusLine(); }
    // Whether a status change is held back by the coalescing (it goes out within
    // CBridgePublisher::kStatusInterval) or anything queued is not yet acknowledged by the
    // broker; for a caller that waits until the broker has what the program has.
    bool IsHoldingStatus() const { return m_publisher.IsHoldingStatus() || !m_session.IsAcknowledged(); }

    // Refused commands are logged at most once per this interval (tests shorten it).
    void SetRefusalLogInterval(std::chrono::milliseconds interval) { m_intake.SetRefusalLogInterval(interval); }

    void Update(CEventArgs* args) override;

private:
    void Route();
    void Connected();                  // bridge thread
    void Message(const std::string& topic, std::string_view payload, bool retained);   // bridge thread
    void LetGoOfLog();
    void ShowStatusLine();

    CQuillmereManager* m_manager;
    CRemoteConfig m_config;
    CRecordRoutes m_routes;
    CBridgePublisher m_publisher;
    CCommandIntake m_intake;
    CBridgeSession m_session;
    bool m_attached = false;      // UI thread only
    bool m_logAttached = false;   // UI thread only
};
