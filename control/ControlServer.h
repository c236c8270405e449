#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Observer.h"
#include "core/OperatorPace.h"

class CQuillmereManager;
class CStopSignal;

// The program's control socket, for quillmere-monitorctl: a Unix stream socket in the
// runtime folder that answers one request per connection (ControlRequest.h,
// ControlProtocol.h).
//
// Who may ask: the socket's mode lets only its owner and, when a group is given, that group
// connect; every connection's peer credentials (SO_PEERCRED, SO_PEERGROUPS) are checked again:
// the program's own user, root, and members of the group. Anyone else gets a refusal and the
// log one line (refusals are summed up to one line a minute).
//
// One thread of its own accepts, reads and writes (non-blocking, bounded in size and time),
// so no client ever holds up the program. What reads the settings or goes to the unit is
// handed to the UI thread through the poster, as the broker's commands are, and goes through
// the manager like a click: the relay's permission, the link queue's newest-intent rule and
// the order's lifetime are the same for every operator. The answer to an order is the
// unit's: the server waits for the response record of that command (the relay's confirmed
// state from the relay state decider) up to the client's wait.
class CControlServer final : public CObserver
{
public:
    using Task = std::function<void()>;
    using Poster = std::function<void(Task)>;   // runs the task later on the UI thread
    // Reads the files again (the service's SIGHUP); empty when done, else why not.
    using Reloader = std::function<std::string()>;

    static constexpr std::size_t kMaxConnections = 16;
    static constexpr std::size_t kMaxFollowers = 4;
    static constexpr int kMaxPendingTasks = 8;
    // A request must be complete this soon after the connection; a reader must take an
    // answer within kWriteTime.
    static constexpr std::chrono::seconds kRequestTime{2};
    static constexpr std::chrono::seconds kWriteTime{10};
    // What a follower of the log that does not read may have waiting; more is counted as dropped.
    static constexpr std::size_t kMaxFollowBacklog = 256 * 1024;
    // Orders to the unit: the broker's pace (a bucket of kCommandBurst refilled at
    // kCommandsPerSecond) and at most one reset in kResetInterval.
    static constexpr double kCommandsPerSecond = COperatorPace::kPerSecond;
    static constexpr double kCommandBurst = COperatorPace::kBurst;
    static constexpr std::chrono::seconds kResetInterval = COperatorPace::kResetInterval;
    static constexpr std::chrono::minutes kRefusalLogInterval{1};

    // The manager must have its settings and log; both outlive the server.
    CControlServer(CQuillmereManager* manager, Poster poster);
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // The service reads its files again on `reload`; without one the request is refused.
    void SetReloader(Reloader reloader) { m_reloader = std::move(reloader); }

    // Makes the socket at `path` (its folder too, when missing) and starts the thread. group:
    // the group whose members may use it besides the program's user and root; empty or
    // unknown to the system: none. A failure is one Error line and the program runs on
    // without a socket.
    bool Start(const std::string& path, const std::string& group);
    // Ends the thread, closes every connection, removes the socket. On the UI thread.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }
    const std::string& GetPath() const { return m_path; }

    void Update(CEventArgs* args) override;

    // The rule for a peer's credentials.
    static bool MayUse(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, uid_t ownUid,
                       std::optional<gid_t> group);

    struct Shared;

private:
    struct Connection;

    void Run();
    void Accept();
    void ReadFrom(Connection& connection);
    void WriteTo(Connection& connection);
    void Handle(Connection& connection, const std::string& line);
    void Answer(Connection& connection, const std::string& text);
    void TakeInbox();
    void StartFollowing(Connection& connection, int lines);
    void AnswerLog(Connection& connection, int lines);

    CQuillmereManager* m_manager;
    Poster m_poster;
    Reloader m_reloader;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<CStopSignal> m_stop;
    std::thread m_thread;
    std::string m_path;
    std::optional<gid_t> m_group;
    std::string m_groupName;
    int m_listenFd = -1;
    bool m_attached = false;

    // Server thread only.
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::uint64_t m_nextId = 1;
};
