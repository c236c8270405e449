#pragma once

// The control server's inner parts, shared by the files CControlServer is cut into and by
// nobody else: ControlServer.cpp (the socket made and removed), ControlConnections.cpp (the
// thread: accept, read, write), ControlDispatch.cpp (a request turned into work and the unit's
// answer), ControlLogFollow.cpp, ControlPeer.cpp (who may use it), ControlPacing.cpp (the pace
// of orders and the refusal summary).

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ControlServer.h"

class CCommandResponse;
struct CControlRequest;
class CLog;
class CWriteLogEventArgs;

using ControlClock = std::chrono::steady_clock;

// "root", or "uid 1234" for an account the system does not name.
std::string ControlUserName(uid_t uid);
std::string ControlRelayName(int relay);

// What a connection's peer is, by SO_PEERCRED and SO_PEERGROUPS.
struct CControlPeer
{
    bool Known = false;
    uid_t Uid = 0;
    gid_t Gid = 0;
    pid_t Pid = 0;
    std::vector<gid_t> Groups;
};
CControlPeer ReadControlPeer(int fd);

// What the server thread, the UI thread's tasks and the observers (link worker, any thread
// that logs) share. Tasks hold it by shared_ptr, so one that runs after Stop finds it dead
// and does nothing.
struct CControlServer::Shared
{
    using Clock = ControlClock;

    struct Waiter
    {
        std::uint64_t Id;
        int Code;
        std::vector<int> Codes;   // answers still missing: one, or the poll's eight
        int Relay;
        Clock::time_point Deadline;
        int WaitSeconds;
    };
    struct Follower
    {
        std::string Text;
        std::uint64_t After = 0;   // lines up to this sequence came with the backlog
        std::uint64_t Dropped = 0;
    };
    struct Reply
    {
        std::uint64_t Id;
        std::string Text;
    };

    CQuillmereManager* Manager = nullptr;
    CLog* Log = nullptr;
    int WakeFd = -1;

    std::mutex Mutex;   // guards everything below; never held while writing the log
    bool Alive = true;
    std::vector<Reply> Inbox;
    std::vector<Waiter> Waiters;
    std::map<std::uint64_t, Follower> Followers;
    int PendingTasks = 0;
    COperatorPace Pace;
    // Refusals of peers and of requests are summed up apart, so a stranger is always named
    // within a minute whatever else was refused.
    struct RefusalLog
    {
        Clock::time_point Last{};
        bool Logged = false;
        std::uint64_t Unlogged = 0;
    };
    RefusalLog Refusals[2];

    // With Mutex held: Stop closes the descriptor under it, and a record raised while the
    // server stopped must not write to a number the system gave to something else since.
    void Wake() const
    {
        if (WakeFd < 0)
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(WakeFd, &one, sizeof one);
    }

    // With Mutex held.
    void DeliverLocked(std::uint64_t id, std::string text)
    {
        Inbox.push_back({id, std::move(text)});
        Wake();
    }
    void Deliver(std::uint64_t id, std::string text)
    {
        std::lock_guard<std::mutex> guard(Mutex);
        DeliverLocked(id, std::move(text));
    }

    // Pacing (ControlPacing.cpp). Whether a request may go now: empty when it may (and it is
    // counted as a task waiting for the UI thread), else why not.
    std::string Admit(const CControlRequest& request);
    // With Mutex held.

    enum Kind
    {
        kPeer,
        kRequest
    };

    // One line a minute at most of each kind; the rest are counted into the next one, or
    // into a line of their own once the minute is over (FlushRefusals).
    void LogRefusal(Kind kind, const std::string& reason);
    // Writes the counts whose minute is over (all of them with `all`); returns when the next
    // one is due, or max() when none waits.
    Clock::time_point FlushRefusals(bool all);

    // A line written to the log, for the followers (ControlLogFollow.cpp).
    void NoteLogLine(const CWriteLogEventArgs& line);
    // The unit's answer to a command, for the waiters (ControlDispatch.cpp).
    void NoteResponse(const CCommandResponse& response);
    // Waiters whose client's wait is over by `now` are answered noanswer.
    void ExpireWaiters(Clock::time_point now);
};

struct CControlServer::Connection
{
    enum class Step
    {
        Reading,     // the request line
        Busy,        // the UI thread or the unit has it
        Following,   // log follow: lines as they are written
        Closing,     // the answer is written, then the connection closes
    };

    std::uint64_t Id = 0;
    int Fd = -1;
    uid_t Uid = 0;
    std::string Who;
    std::string In;
    std::string Out;
    Step Now = Step::Reading;
    ControlClock::time_point Deadline;   // for reading the request, and for any answer being written
    bool Writing = false;

    ~Connection()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};
