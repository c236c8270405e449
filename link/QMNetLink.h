#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FrameCodec.h"
#include "core/Clock.h"
#include "core/StopSignal.h"
#include "QMNetAbstractPort.h"
#include "QMNetSerialPort.h"
#include "XModemSender.h"
#include "protocol/SerialCommand.h"
#include "protocol/StatusCodes.h"

// The device link: a queue of commands and one worker thread that owns the serial port,
// sends each command, waits for its answer with retries and hands every answer, every
// unsolicited message and every failure to its owner through four callbacks.
//
// Callbacks run on the worker thread. The command and payload pointers they receive are
// valid only during the call. QueueCommand may be called from inside a callback.
class CQMNetLink
{
public:
    using TraceCallback = std::function<void(const char* text)>;
    // The payload pointer is null when the code carries none or the command failed; the
    // length is the number of payload bytes the frame carried (0 with a null payload).
    using ResponseCallback = std::function<void(LinkStatus status, int code, CSerialCommand* command,
                                                const unsigned char* payload, std::size_t length)>;
    using ThreadExitCallback = std::function<void()>;
    using ProgressCallback = std::function<void(int done, int total)>;
    // The worker has nothing it may send (an empty queue, or everything held). The owner may
    // queue a probe from it; it returns how long the worker may listen before asking again
    // (nullopt: as long as it likes). `orderWaits`: a relay switch, power cycle or reset is queued.
    using IdleCallback = std::function<std::optional<std::chrono::milliseconds>(bool orderWaits)>;
    // The port opened again after the line was lost (a hang-up or a failed open): whatever is
    // at the far end may have restarted.
    using ReopenCallback = std::function<void()>;

    static constexpr std::size_t BufferSize = CFrameCodec::BufferSize;
    static constexpr std::size_t RecordSize = CFrameCodec::RecordSize;
    static constexpr std::size_t RecordPayloadBytes = CFrameCodec::RecordPayloadBytes;
    static constexpr std::size_t RecordChecksumOffset = CFrameCodec::RecordChecksumOffset;
    static constexpr std::size_t RecordEndOffset = CFrameCodec::RecordEndOffset;
    using ResponseRecord = CFrameCodec::ResponseRecord;

    static constexpr int DefaultRetryCount = 3;
    static constexpr unsigned int DefaultPollSleepMs = 1000;
    static constexpr int XModemBlockBytes = CXModemSender::BlockBytes;
    // An operator's or a monitor's order carried out minutes later would surprise everyone.
    static constexpr std::chrono::milliseconds DefaultOrderLifetime{60'000};

    CQMNetLink();
    ~CQMNetLink();   // stops the worker, deletes the queued commands unreported and joins
    CQMNetLink(const CQMNetLink&) = delete;
    CQMNetLink& operator=(const CQMNetLink&) = delete;

    // Configuration: owner's thread, while no worker runs.
    void SetTraceCallback(TraceCallback callback) { m_traceCallback = std::move(callback); }
    void SetResponseCallback(ResponseCallback callback) { m_responseCallback = std::move(callback); }
    void SetThreadExitCallback(ThreadExitCallback callback) { m_threadExitCallback = std::move(callback); }
    void SetProgressCallback(ProgressCallback callback) { m_progressCallback = std::move(callback); }
    void SetIdleCallback(IdleCallback callback) { m_idleCallback = std::move(callback); }
    void SetReopenCallback(ReopenCallback callback) { m_reopenCallback = std::move(callback); }
    void SetPort(int portNumber, unsigned int baudRate);
    void SetTiming(int retryCount, unsigned int pollSleepMs, unsigned int readTimeoutMs);
    void SetTraceLevel(int level);
    // How long a relay switch, power cycle or reset may wait for the unit before it is dropped
    // and handed to the response callback with -31 (the worker's thread).
    void SetOrderLifetime(std::chrono::milliseconds lifetime) { m_orderLifetime = lifetime; }
    // How long the worker listens to a quiet line with nothing to send before it looks at its
    // queue's ages again; zero: one command's reads (retries times the read time-out). A queued
    // command, a frame from the unit, a hang-up or a stop ends the listen at once, so a long one
    // costs nothing but keeps an idle service asleep.
    void SetIdleListen(std::chrono::milliseconds listen) { m_idleListen = listen; }
    // The clock that dates queued commands and ages orders, given by the owner (a test moves
    // it); the system's by default. The line's own waits keep real time. Must outlive the link.
    void SetClock(const IClock& clock) { m_clock = &clock; }

    int GetPortNumber() const { return m_portNumber; }
    unsigned int GetBaudRate() const { return m_baudRate; }
    int GetTraceLevel() const { return m_codec.GetTraceLevel(); }

    // Starts a worker and returns at once. A worker that was asked to stop is waited for
    // first, so two never run; returns false, starting nothing, while a worker runs that was
    // not asked to stop, when called from a callback, or when the thread cannot be made.
    bool Start();
    // Any thread. Takes ownership; the command queued last is sent first, except around a
    // reset (CommandOrder::Next): the orders queued before it go before it, and everything else
    // after it, so no order is lost in the unit's restart and no question starves it. A queued command
    // that would do the same thing (same code; same code and relay for a relay command) is
    // replaced by the new one and handed back, so the queue holds each intent once and the
    // newest wins. Wakes an idle worker at once.
    std::unique_ptr<CSerialCommand> QueueCommand(std::unique_ptr<CSerialCommand> command);
    // The worker ends at once, whatever it waits for: an idle listen, the poll sleep, an
    // open retry, an answer (a frame under way included) or a firmware block (the transfer
    // is cancelled). The commands queued so far are removed now; each is handed to the
    // response callback with -27 on this thread, and the one on the wire on the worker's,
    // so an order can be said to be lost. Commands queued afterwards belong to the next Start.
    void RequestStop();
    // Owner's thread (never from a callback): blocks until the worker has ended and joins it.
    void WaitForStop();
    // Owner's thread: joins a worker that was asked to stop (it ends within the exchange under
    // way); a worker that was not asked is left running. After it, configuration is safe.
    void JoinEndingWorker();
    // Owner's thread: a worker was asked to stop and has not ended yet. Start waits for it,
    // so a window asks this first and tries again a moment later instead of blocking.
    bool IsEnding() const;
    bool IsRunning() const { return m_running.load(); }
    std::size_t GetQueueLength() const;
    // Any thread. While held, only a probe (and a firmware transfer) goes out; everything else
    // waits, an order within its lifetime.
    // The owner holds the line while the unit does not answer and while it restarts.
    void Hold(bool hold);
    bool IsHeld() const { return m_hold.load(); }

    // Gives another port this engine's COM number and speed; 0 for a null port, else 1.
    int ConfigurePort(CQMNetSerialPort* port) const;

    // Packet layer and file sender, for the connection test (while no worker runs).
    LinkStatus ProbeDevice(CQMNetAbstractPort& port) { return m_codec.ProbeDevice(port); }
    LinkStatus Receive(CQMNetAbstractPort& port, int maxFailedReads) { return m_codec.Receive(port, maxFailedReads); }
    LinkStatus SendCommand(CQMNetAbstractPort& port, CSerialCommand& command);
    LinkStatus SendFirmwareFile(CQMNetAbstractPort& port, const std::string& path) { return m_sender.Send(port, path); }
    ResponseRecord MakeResponseRecord() const { return m_codec.MakeResponseRecord(); }

    // What one command may take from its frame going out to its answer: every receive with
    // every retry, however many unsolicited frames arrive meanwhile.
    std::chrono::milliseconds CommandBudget() const;

    // Any thread: when the worker last showed that it moves (a cycle begun, a firmware block
    // sent). A worker that runs and shows nothing for longer than LongestQuietPeriod is
    // wedged; a service manager's watchdog is told so by the pings stopping.
    std::chrono::steady_clock::time_point GetLastProgress() const;
    // The poll sleep plus the longer of a command's whole budget and an idle listen.
    std::chrono::milliseconds LongestQuietPeriod() const;
    std::chrono::milliseconds IdleListenTime() const;

private:
    enum class Outcome
    {
        Done,         // answered, or the line said nothing while idle and stays open
        Woken,        // an idle listen gave way to a queued command: send it at once
        Failed,       // close the port; the next cycle reopens it
        HungUp,       // as Failed, and the line was lost: the far end may have restarted
        Stopped,      // a stop came between frames
    };

    void LinkWorker(std::uint64_t generation, std::shared_ptr<CStopSignal> stop);
    bool StopRequested(std::uint64_t generation) const { return m_generation.load() != generation; }
    bool WaitForPollSleep(std::uint64_t generation);
    Outcome IdleListen(std::uint64_t generation, std::optional<std::chrono::milliseconds> longest);
    Outcome Exchange(std::unique_ptr<CSerialCommand> command, std::uint64_t generation);
    Outcome Stopped(std::unique_ptr<CSerialCommand> command);
    void Trace(const std::string& text) const;
    std::unique_ptr<CSerialCommand> PopCommand(std::uint64_t generation, bool& orderWaits);
    void Requeue(std::unique_ptr<CSerialCommand> command, std::uint64_t generation);
    void ClearQueue(bool report);
    void ExpireOrders(std::uint64_t generation);
    void Wake();
    void NoteProgress();
    void DrainWakePipe();
    void Report(LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload = nullptr,
                std::size_t length = 0);
    void DeliverFrame(int code, CSerialCommand* command, ResponseRecord& record);

    TraceCallback m_traceCallback;
    ResponseCallback m_responseCallback;
    ThreadExitCallback m_threadExitCallback;
    ProgressCallback m_progressCallback;
    IdleCallback m_idleCallback;
    ReopenCallback m_reopenCallback;
    std::atomic<bool> m_hold{false};
    std::uint64_t m_sendCount = 0;   // worker only
    mutable std::mutex m_queueLock;
    int m_portNumber = 1;
    unsigned int m_baudRate = CQMNetSerialPort::DefaultBaudRate;
    int m_retryCount = DefaultRetryCount;
    unsigned int m_readTimeoutMs = CQMNetAbstractPort::DefaultReadTimeoutMs;
    unsigned int m_pollSleepMs = DefaultPollSleepMs;
    std::chrono::milliseconds m_orderLifetime = DefaultOrderLifetime;
    std::chrono::milliseconds m_idleListen{0};
    std::atomic<const IClock*> m_clock{&IClock::System()};
    CQMNetSerialPort m_port;
    CFrameCodec m_codec;
    CXModemSender m_sender{m_codec};
    std::vector<std::unique_ptr<CSerialCommand>> m_queue;

    std::thread m_worker;
    std::atomic<bool> m_running{false};
    std::atomic<std::thread::id> m_workerId{};
    // Each stop moves it on; a worker runs while it still holds the value it started with,
    // so an old worker can never take or delete what the next run was given.
    std::atomic<std::uint64_t> m_generation{0};
    std::uint64_t m_workerGeneration = 0;   // the value the current worker started with; owner's thread
    // The current run's stop; a new run gets a new one while the old worker keeps its own.
    std::shared_ptr<CStopSignal> m_stop;
    int m_wakePipe[2] = {-1, -1};   // a queued command or a stop, as something poll() can wait on
    std::atomic<std::chrono::steady_clock::rep> m_lastProgress{0};   // when the worker last showed it was alive
};
