#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QMNetAbstractPort.h"
#include "QMNetSerialPort.h"
#include "device/SerialCommand.h"
#include "device/StatusCodes.h"

// The device link: a queue of commands and one worker thread that owns the serial port,
// sends each command, waits for its answer with retries and hands every answer, every
// unsolicited message and every failure to its owner through four plain callbacks.
//
// Callbacks run on the worker thread. The command and payload pointers they receive are
// valid only during the call. QueueCommand may be called from inside a callback.
class CQMNetLink
{
public:
    using TraceCallback = void (*)(const char* text);
    using ResponseCallback = void (*)(int status, int code, CSerialCommand* command,
                                      const unsigned char* payload);
    using ThreadExitCallback = int (*)(CQMNetLink* link);
    using ProgressCallback = void (*)(int done, int total);

    static constexpr std::size_t BufferSize = 512;
    // The response record: start byte, code, length, at most 56 payload bytes, then the
    // checksum at 59 and the end byte at 60.
    static constexpr std::size_t RecordSize = 61;
    static constexpr std::size_t RecordPayloadBytes = 56;
    static constexpr std::size_t RecordChecksumOffset = 59;
    static constexpr std::size_t RecordEndOffset = 60;
    using ResponseRecord = std::array<unsigned char, RecordSize>;

    static constexpr int DefaultRetryCount = 3;
    static constexpr unsigned int DefaultPollSleepMs = 1000;
    static constexpr int XModemBlockBytes = 128;

    CQMNetLink();
    ~CQMNetLink();   // requests a stop, waits for the worker, then deletes the queued commands
    CQMNetLink(const CQMNetLink&) = delete;
    CQMNetLink& operator=(const CQMNetLink&) = delete;

    // Configuration: owner's thread, while no worker runs.
    void SetTraceCallback(TraceCallback callback) { m_traceCallback = callback; }
    void SetResponseCallback(ResponseCallback callback) { m_responseCallback = callback; }
    void SetThreadExitCallback(ThreadExitCallback callback) { m_threadExitCallback = callback; }
    void SetProgressCallback(ProgressCallback callback) { m_progressCallback = callback; }
    void SetPort(int portNumber, unsigned int baudRate);
    void SetTiming(int retryCount, unsigned int pollSleepMs, unsigned int readTimeoutMs);
    void SetTraceLevel(int level) { m_traceLevel = level; }

    int GetPortNumber() const { return m_portNumber; }
    unsigned int GetBaudRate() const { return m_baudRate; }
    int GetTraceLevel() const { return m_traceLevel; }

    // Starts the worker and returns at once. A worker that has already ended (or has been
    // asked to stop) is joined first, so two never run; returns false, starting nothing,
    // while a worker runs that was not asked to stop, or when the thread cannot be made.
    bool Start();
    // Any thread. Takes ownership; the command queued last is sent first.
    void QueueCommand(std::unique_ptr<CSerialCommand> command);
    // The worker ends between exchanges: an idle listen or the poll sleep is cut short,
    // but a command waiting for its answer or a firmware transfer runs to its end.
    void RequestStop(bool stop);
    // Owner's thread (never from a callback): blocks until the worker has ended and joins it.
    void WaitForStop();
    bool IsRunning() const { return m_running.load(); }
    std::size_t GetQueueLength() const;

    // Gives another port this engine's COM number and speed; 0 for a null port, else 1.
    int ConfigurePort(CQMNetSerialPort* port) const;

    // Packet layer. Run on the worker thread, or on the owner's thread while no worker runs
    // (the connection test).
    LinkStatus ProbeDevice(CQMNetAbstractPort& port);
    LinkStatus Receive(CQMNetAbstractPort& port, int maxFailedReads);
    LinkStatus SendCommand(CQMNetAbstractPort& port, CSerialCommand& command);
    LinkStatus SendFirmwareFile(CQMNetAbstractPort& port, const std::string& path);
    // Built from the last reception. For a single acknowledge byte only offset 0 carries
    // it; the rest is zero, never what an earlier frame left behind.
    ResponseRecord MakeResponseRecord() const;

private:
    void LinkWorker();
    void Trace(const char* text) const;
    void Trace(const std::string& text) const { Trace(text.c_str()); }
    void BuildHeader(int length, unsigned char code);
    unsigned char CalculateChecksum(int count);
    LinkStatus Transmit(CQMNetAbstractPort& port, int count);
    void PurgeTransmitBuffer();
    std::unique_ptr<CSerialCommand> PopCommand();
    void ClearQueue();
    void ReportFailure(int status, CSerialCommand* command);
    void DeliverResponse(int status, int code, CSerialCommand* command, ResponseRecord& record);
    bool WaitForPollSleep();
    void DrainWakePipe();

    TraceCallback m_traceCallback = nullptr;
    ResponseCallback m_responseCallback = nullptr;
    ThreadExitCallback m_threadExitCallback = nullptr;
    ProgressCallback m_progressCallback = nullptr;
    int m_traceLevel = 1;
    mutable std::mutex m_queueLock;
    int m_portNumber = 1;
    unsigned int m_baudRate = CQMNetSerialPort::DefaultBaudRate;
    std::atomic<bool> m_stopRequest{false};
    int m_retryCount = DefaultRetryCount;
    unsigned int m_readTimeoutMs = CQMNetAbstractPort::DefaultReadTimeoutMs;
    unsigned int m_pollSleepMs = DefaultPollSleepMs;
    CQMNetSerialPort m_port;
    std::vector<std::unique_ptr<CSerialCommand>> m_queue;

    std::array<unsigned char, BufferSize> m_receiveBuffer{};
    std::array<unsigned char, BufferSize> m_transmitBuffer{};
    std::size_t m_receivedCount = 0;   // bytes the last reception stored

    std::thread m_worker;
    std::atomic<bool> m_running{false};
    std::atomic<std::thread::id> m_workerId{};
    int m_wakePipe[2] = {-1, -1};   // the stop request, as something poll() can wait on
};
