#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Observer.h"
#include "core/Subject.h"
#include "core/TimerService.h"
#include "netmon/PowerCycleGate.h"
#include "protocol/StatusCodes.h"
#include "MemoryWatchdog.h"
#include "RelayStates.h"
#include "ResponseDecoder.h"
#include "UnitProbe.h"
#include "UnitReachability.h"

class CAppSettings;
class CLog;
class CMonitorRunner;
class CNetworkMonitor;
class CNetworkMonitorErrorEventArgs;
class CQMNetLink;
class CQuillmereDeviceStatus;
class CSerialCommand;
class IRestartHost;

// The hub between the link engine, the models, the log and the windows. It queues device
// commands, turns the engine's callbacks into status, log lines and response records, and owns
// the poll and monitor timers; the memory watchdog (MemoryWatchdog.h) runs at every poll and
// the failure texts live in FailureText.h.
class CQuillmereManager : public CSubject, public CObserver
{
public:
    using MemoryReader = CMemoryWatchdog::MemoryReader;
    using RunTimeReader = CMemoryWatchdog::RunTimeReader;
    static constexpr std::chrono::minutes kRunBeforeRestart = CMemoryWatchdog::kRunBeforeRestart;
    // After a reset the unit's reports stay off until it has answered a relay status. It is
    // asked this long after the reset's outcome, and again at this pace until it answers.
    static constexpr std::uint32_t kResetFollowUpMs = 4000;
    // A worker told to stop ends within milliseconds; a start that finds it still ending
    // looks again this much later rather than blocking the window.
    static constexpr std::uint32_t kConnectRetryMs = 20;

    // The link's timing for every start: retries per command, pause per worker cycle, and
    // the read time-out of one byte. Tests shorten it; the program keeps the defaults.
    struct LinkTiming
    {
        int RetryCount = 3;
        unsigned PollSleepMs = 150;
        unsigned ReadTimeoutMs = 2000;
        // How long an order may wait for the unit before it is dropped with a line.
        unsigned OrderLifetimeMs = 60'000;
        // How long an idle worker listens before looking at its queue again (a queued order
        // or a frame ends it at once); one wake a minute on a quiet line.
        unsigned IdleListenMs = 60'000;
    };

    CQuillmereManager();
    ~CQuillmereManager();

    // Timers run at a whole number of minutes in the editors' range, whatever a hand-edited
    // file holds; the stored value stays as it was.
    static constexpr std::int32_t MinIntervalMinutes = 1;
    static constexpr std::int32_t MaxIntervalMinutes = 60;
    static std::uint32_t TimerPeriodMs(std::int32_t minutes);

    void SetSettings(CAppSettings* settings);
    void SetLinkEngine(CQMNetLink* link);
    void SetLog(CLog* log);
    void SetTimerService(ITimerService* timers);
    void SetRestartHost(IRestartHost* host);
    void SetMemoryReader(MemoryReader reader);   // tests; defaults to the process's private memory
    void SetRunTimeReader(RunTimeReader reader); // tests; defaults to how long the process has run
    void SetLinkTiming(const LinkTiming& timing) { m_linkTiming = timing; }
    // The clock of everything timed here and in the link it starts (order lifetimes, the
    // unit's reachability, one power cycle per relay); the system's by default. A test moves
    // it. Must outlive the manager.
    void SetClock(const IClock& clock)
    {
        m_clock = &clock;
        m_cycleGate.SetClock(clock);
    }

    CQuillmereDeviceStatus* GetDeviceStatus() const { return m_status.get(); }
    const CUnitReachability& GetReachability() const { return m_reachability; }
    const CRelayStates& GetRelayStates() const { return m_relayStates; }
    CAppSettings* GetSettings() const { return m_settings; }
    CLog* GetLog() const { return m_log; }
    void AttachStatusObserver(CObserver* observer);
    void AttachLogObserver(CObserver* observer);

    // Configures and starts the link; returns at once. While the last run's worker is still
    // ending, the start follows on a timer as soon as it has ended (a stop cancels it).
    void Connect();
    void StartPolling();
    void StartMonitorTimers();
    // Ends the link run and the timers; returns at once. Orders the stop removes are logged.
    void Stop();
    void KillPollTimer();
    void Poll();
    void CheckMemory();

    // Joins the link worker and every running ping check, whose waits end at once. Stop first.
    void WaitForThreads();
    // Never block, for windows that must not wait: whether the link worker runs, and
    // whether neither it nor any ping check does.
    bool IsLinkRunning() const;
    bool IsIdle() const;

    void SetRelay(int relay, int state);
    // onNotSent runs if the cycle is dropped before the unit answers it (a stop, its lifetime).
    // `name` is what the lines about it call it; the relay's number when empty.
    void PowerCycleRelay(int relay, std::function<void()> onNotSent = {}, std::string name = {});
    void RequestRelayStatus();
    void EnableUnsolicitedResponses();
    void EnableTamperUnsolicited();
    void ResetDevice();
    // 0 when queued; -1 (the firmware file does not open) for a path that cannot be sent
    // whole, which is then not queued at all.
    LinkStatus UpdateFirmware(const std::string& path);

    // Commands a person gave, logged as one Event naming who gave them ("operator" for a
    // click in this program's window), then queued like the plain ones: a site's log can
    // say who turned a relay off. State as SetRelay: 0 on, 1 off.
    static constexpr const char* kByOperator = "operator";
    void SetRelayBy(int relay, int state, const std::string& who);
    void PowerCycleRelayBy(int relay, const std::string& who);
    void ResetDeviceBy(const std::string& who);
    // One direct exchange; -2 while the link worker runs, since both would use the line.
    LinkStatus TestConnection();

    // The failure texts of FailureText.h, with this link's port number.
    std::string FailureText(int type, LinkStatus status) const;
    std::string FailureLine(int type, LinkStatus status) const;
    static std::string MonitorFailureText(const std::string& target, int action, int relay, int limit, int count);

    void Update(CEventArgs* args) override;

    // The broker connection's line for the Status page: kept for a page made later, and
    // raised to the observers as a CRemoteLineChangedEventArgs when it changes. Any thread.
    void SetRemoteLine(const std::string& line);
    std::string GetRemoteLine() const;

    // The engine's callbacks, on the link worker thread. `length` is the number of payload
    // bytes the frame carried.
    void OnTrace(const char* text);
    void LogLostOrder(int type, const CSerialCommand* command, LinkStatus status);
    void OnResponse(LinkStatus status, int type, CSerialCommand* command, const unsigned char* payload,
                    std::size_t length = kMaxResponsePayload);
    void OnLinkThreadEnded();
    void OnProgress(int position, int total);
    // The link has nothing it may send: a probe of a unit that does not answer may be due.
    std::optional<std::chrono::milliseconds> OnLinkIdle(bool orderWaits);
    // The port opened again after the line was lost: the unit may have restarted.
    void OnPortReopened();

    ITimerService::TimerId GetPollTimer() const { return m_pollTimer; }
    bool IsResetPending() const { return m_resetPending.load(); }
    std::size_t GetMonitorTimerCount() const { return m_monitorTimers.size(); }

private:
    void ConfigureLink();
    void Queue(std::uint8_t code, std::uint8_t param1 = 0, std::uint8_t param2 = 0, std::string name = {});
    void QueueStatusQuestions();
    // The unit answers again (after an outage or its restart): what it said before is asked
    // again and its reports, which a restart switched off, go back on.
    void AskEverythingAgain();
    void OnResetOutcome(const CSerialCommand& reset);
    void TakeReachability(LinkStatus status);
    void UpdateHold();
    void KillConnectRetry();
    void QueueCommand(std::unique_ptr<CSerialCommand> command);
    void LogFirmwareOutcome(int type, LinkStatus status);
    void RaiseResponse(int type, CSerialCommand* command, LinkStatus status, const unsigned char* payload,
                       std::size_t length);
    void HandleMonitorError(const CNetworkMonitorErrorEventArgs& error);
    void OnMonitorTimer(ITimerService::TimerId id);
    void WriteLog(int level, const std::string& text);
    std::string RelayLabel(int relay) const;
    void RaiseRelayChanges(const CRelayStates::Changes& changes);

    CAppSettings* m_settings = nullptr;
    CQMNetLink* m_link = nullptr;
    CLog* m_log = nullptr;
    ITimerService* m_timers = nullptr;
    CMemoryWatchdog m_memoryWatchdog;
    LinkTiming m_linkTiming;
    const IClock* m_clock = &IClock::System();
    std::unique_ptr<CQuillmereDeviceStatus> m_status;
    std::unique_ptr<CMonitorRunner> m_monitorRunner;
    CUnitReachability m_reachability;
    CPowerCycleGate m_cycleGate{IClock::System()};   // one relay, one cycle
    CRelayStates m_relayStates;
    // Who asked for each relay's latest switch, for the record its answer raises; set on
    // the UI thread, read on the link worker.
    std::array<std::atomic<RelayChangeCause>, CRelayStates::kRelayCount + 1> m_switchCause{};

    bool m_stopping = false;
    // Set by a reset's outcome; cleared by a whole relay status answering a question sent after it.
    std::atomic<bool> m_resetPending{false};
    std::atomic<std::uint64_t> m_resetSendNumber{0};
    // Set by a reset's outcome; cleared by any answer to a question sent after it: the link
    // sends nothing into the restart.
    std::atomic<bool> m_resetHolding{false};
    CUnitProbe m_probe;
    CUnitProbe::Clock::time_point m_lostAt{};   // when the unit last stopped answering; link worker
    mutable std::mutex m_remoteLineMutex;
    std::string m_remoteLine;   // guarded by m_remoteLineMutex
    std::atomic<int> m_firmwareBytesSent{0};
    ITimerService::TimerId m_pollTimer = 0;
    ITimerService::TimerId m_connectTimer = 0;   // a start waiting for the last worker to end
    // A monitor removed while its timer is queued is not kept alive by the map.
    std::map<ITimerService::TimerId, std::weak_ptr<CNetworkMonitor>> m_monitorTimers;
};
