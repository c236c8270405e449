#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/SerialCommand.h"
#include "protocol/StatusCodes.h"
#include "link/QMNetAbstractPort.h"

using Bytes = std::vector<unsigned char>;

std::string ToHexText(const Bytes& bytes);
Bytes FromHexText(const std::string& hex);

inline std::unique_ptr<CSerialCommand> Command(int code, int p1 = 0, int p2 = 0)
{
    auto command = std::make_unique<CSerialCommand>();
    command->Code = static_cast<std::uint8_t>(code);
    command->Param1 = static_cast<std::uint8_t>(p1);
    command->Param2 = static_cast<std::uint8_t>(p2);
    return command;
}

// The far end of a pseudo-terminal, reached by the program as COM<n> through a link in the
// data folder (the data folder must already point at a temporary folder).
class PtyPeer
{
public:
    explicit PtyPeer(int comNumber);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }

    // Reads exactly count bytes, or fewer when the time runs out.
    Bytes Read(std::size_t count, int timeoutMs);
    // Reads whatever arrives until quietMs pass with nothing new (bounded by totalMs).
    Bytes ReadUntilQuiet(int quietMs, int totalMs);
    void Write(const Bytes& bytes);
    // The adapter is pulled: the far end closes and the ports/ link names nothing any more.
    void HangUp();

private:
    int m_master = -1;
    std::string m_slavePath;
    std::string m_linkPath;
};

// A port that plays back scripted bytes and records what is written; for the packet layer's
// byte-level rules and for the fuzzer-like edge cases.
class ScriptedPort : public CQMNetAbstractPort
{
public:
    LinkStatus Open() override { return LinkStatus::Ok; }
    LinkStatus Close() override { return LinkStatus::Ok; }
    LinkStatus Write(const unsigned char* bytes, int count) override;
    LinkStatus ReadByte(unsigned char* byte) override;
    int Purge() override { return 1; }

    void Feed(const Bytes& bytes) { m_input.insert(m_input.end(), bytes.begin(), bytes.end()); }
    std::size_t Unread() const { return m_input.size(); }

    Bytes written;
    std::vector<Bytes> writes;      // one entry per Write call
    int reads = 0;                  // ReadByte calls
    int failWrites = 0;             // the next n writes fail with -14
    bool readFailure = false;       // an empty input reads as -15 instead of -6

private:
    std::deque<unsigned char> m_input;
};

// Everything one link's callbacks report; each test keeps its own.
struct ResponseEvent
{
    LinkStatus status;
    int code;
    int commandCode;   // -1 when no command came with it
    bool hasPayload;
    Bytes payload;     // the first 20 bytes when a payload pointer came
    std::size_t length;
};

class CallbackLog
{
public:
    // Binds all four callbacks of the link to this log; the log must outlive the worker.
    void AttachTo(class CQMNetLink& link);
    void Reset();

    void OnTrace(const char* text);
    void OnResponse(LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload,
                    std::size_t length);
    void OnThreadExit();
    void OnProgress(int done, int total);

    std::vector<std::string> Traces();
    std::vector<ResponseEvent> Responses();
    std::vector<std::pair<int, int>> Progress();
    int ThreadExits();
    // Waits until at least count responses were reported.
    bool WaitForResponses(std::size_t count, int timeoutMs);
    bool WaitForThreadExit(int timeoutMs);

private:
    std::mutex m_lock;
    std::vector<std::string> m_traces;
    std::vector<ResponseEvent> m_responses;
    std::vector<std::pair<int, int>> m_progress;
    int m_threadExits = 0;
};

// lrzsz's rx as the XModem receiver at the far end of a pseudo-terminal. rx talks to a
// relay through pipes, not a terminal: it empties its terminal input right after every
// acknowledge, which would race with a sender that answers at once. On a pipe that purge
// does nothing, so the relay hands every byte over and the test cannot lose a block.
class RxRelay
{
public:
    // Starts rx (checksum mode) writing to outputPath, relaying to and from masterFd.
    RxRelay(int masterFd, const std::string& outputPath, int timeoutMs = 60000);
    ~RxRelay();
    RxRelay(const RxRelay&) = delete;
    RxRelay& operator=(const RxRelay&) = delete;

    // Waits for rx to end (the relay gives up after timeoutMs and kills it); rx's exit
    // status, or -1 when it had to be killed.
    int Wait();
    std::size_t BytesToReceiver() const { return m_toReceiver.load(); }

private:
    void Relay(int timeoutMs);

    int m_master;
    int m_toRx = -1;
    int m_fromRx = -1;
    int m_pid = -1;
    std::atomic<int> m_exitStatus{-1};
    std::atomic<std::size_t> m_toReceiver{0};
    std::thread m_thread;
};

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since);
