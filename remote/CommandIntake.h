#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "RemoteCommand.h"
#include "core/Clock.h"
#include "core/OperatorPace.h"

class CAppSettings;
class CCommandResponse;
class CLog;
class CQuillmereManager;

// What the broker's command topics bring in, on its way to the manager: it parses each
// message, paces what may go on, keeps only a relay's newest intent, and refuses the rest
// with lines that summarise a flood instead of echoing it.
//
// Take and Tick run on the bridge thread; commands are carried out on the program's UI
// thread, through the poster, where they go through the manager like a click. At most
// kMaxPendingCommands of those wait there at once. Time comes from the owner's clock.
class CCommandIntake
{
public:
    using Task = std::function<void()>;
    using Poster = std::function<void(Task)>;   // runs the task later on the UI thread

    static constexpr const char* kCommandSource = "remote operator over MQTT";
    static constexpr int kMaxPendingCommands = 8;
    // The pace commands reach the UI thread at: a bucket of kCommandBurst that refills at
    // kCommandsPerSecond. A relay's command that finds the bucket empty waits in its relay's
    // one slot, where a newer one replaces it; a poll finds it empty and is refused.
    static constexpr double kCommandsPerSecond = COperatorPace::kPerSecond;
    static constexpr double kCommandBurst = COperatorPace::kBurst;
    static constexpr std::chrono::seconds kResetInterval = COperatorPace::kResetInterval;
    // The lines of its own (refusals, retained commands ignored) it writes in one refusal
    // interval; what comes beyond is counted, and the counts are written when it is over.
    static constexpr int kLineBudget = 5;
    // A relay's next command waits until the link answered the one before (so that it never
    // replaces an order still queued), or this long at most.
    static constexpr std::chrono::seconds kAnswerWait{10};

    // The manager must have its settings and log; it and the clock outlive the intake.
    CCommandIntake(CQuillmereManager* manager, Poster poster, const IClock& clock);

    // "<prefix>/<site>/": the root the command topics are read below.
    void SetBase(std::string base) { m_base = std::move(base); }
    // Refused commands are logged at most once per this interval, and its lines at most
    // kLineBudget times (tests shorten it).
    void SetRefusalLogInterval(std::chrono::milliseconds interval);

    // Bridge thread: one message from a command topic.
    void Take(const std::string& topic, std::string_view payload, bool retained);
    // Bridge thread: hands on a relay's command whose token is back, and writes a count of
    // refusals whose interval is over.
    void Tick();
    // How long the bridge thread may wait before Tick has work; max() for nothing due.
    std::chrono::milliseconds Due() const;

    // Any thread (the link worker): the link's outcome of one of its commands; a relay
    // order's frees the relay for its next command.
    void LinkAnswered(const CCommandResponse& response);
    // Whether a relay order handed to the manager still waits for the link's answer.
    bool IsAnswerPending(int relay) const;

    // Bridge thread: a new connection, where each retained command is told once again.
    void NewConnection();

    // Any thread: one refused command, logged or counted.
    void Refuse(const std::string& reason);
    // Writes the counts still held now, so that they are in the log before the run's last line.
    void WriteHeldCounts();

private:
    struct RelaySlot
    {
        CRemoteCommand Command;
        bool Posted = false;     // a task for the relay is on its way to the UI thread
        bool InFlight = false;   // the manager took one; the link has not answered it yet
        IClock::Steady::time_point Since{};
    };

    void IgnoreRetained(const std::string& topic);
    bool TakeLineLocked(IClock::Steady::time_point now);
    // The summaries of what was held, when due (or all of them); m_mutex held.
    std::vector<std::string> HeldCountsLocked(bool all);
    void WriteLines(const std::vector<std::string>& lines);
    bool TakeToken();            // m_mutex held
    void PostRelay(int relay);   // m_mutex not held
    // UI thread; whether a relay order went to the manager.
    bool Execute(const CRemoteCommand& command);

    CQuillmereManager* m_manager;
    CAppSettings* m_settings;
    CLog* m_log;
    Poster m_poster;
    const IClock& m_clock;
    std::string m_base;
    int m_pending = 0;   // tasks on their way to the UI thread; guarded by m_mutex

    // Held only for in-memory work, never while writing the log or posting.
    mutable std::mutex m_mutex;
    std::map<int, RelaySlot> m_relaySlots;
    COperatorPace m_pace;   // m_mutex held
    std::chrono::milliseconds m_refusalInterval{std::chrono::minutes(1)};
    IClock::Steady::time_point m_lastRefusalLog{};
    bool m_refusalLogged = false;
    std::uint64_t m_refusalsUnlogged = 0;
    std::string m_lastRefusal;   // why the newest refusal was refused
    std::set<std::string> m_retainedIgnored;   // topics already told in this connection
    std::uint64_t m_ignoredUnlogged = 0;
    IClock::Steady::time_point m_budgetStart{};
    int m_budgetUsed = 0;
};
