#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "QMNetAbstractPort.h"
#include "protocol/SerialCommand.h"
#include "protocol/StatusCodes.h"

// The packet layer: builds a command's frame into the transmit buffer and writes it, reads
// one frame (or a bare acknowledge) byte by byte through a named-state machine, and turns
// the last reception into the fixed response record. Knows nothing of queues or threads.
class CFrameCodec
{
public:
    static constexpr std::size_t BufferSize = 512;
    // The response record: start byte, code, length, at most 56 payload bytes, then the
    // checksum at 59 and the end byte at 60.
    static constexpr std::size_t RecordSize = 61;
    static constexpr std::size_t RecordPayloadBytes = 56;
    static constexpr std::size_t RecordChecksumOffset = 59;
    static constexpr std::size_t RecordEndOffset = 60;
    using ResponseRecord = std::array<unsigned char, RecordSize>;
    using Clock = std::chrono::steady_clock;
    using TraceSink = std::function<void(const char* text)>;

    static constexpr unsigned char StartOfFrame = 0x02;
    static constexpr unsigned char EndOfFrame = 0x03;
    static constexpr unsigned char Acknowledge = 0x06;
    static constexpr unsigned char NegativeAcknowledge = 0x15;

    // Where the receive state machine stands after the last byte it took.
    enum class ReceiveState
    {
        AwaitingStart,
        AwaitingCode,
        AwaitingLength,
        InPayload,
        AwaitingChecksum,
        AwaitingEnd,
        Done,
    };

    void SetTraceSink(TraceSink sink) { m_trace = std::move(sink); }
    void SetTraceLevel(int level) { m_traceLevel = level; }
    int GetTraceLevel() const { return m_traceLevel; }
    void SetPortNumber(int portNumber) { m_portNumber = portNumber; }

    // Frames every sendable code but the firmware stage: -8 for a code without a frame,
    // -1 for the firmware stage (the file sender sends that), else the write's status.
    LinkStatus SendCommand(CQMNetAbstractPort& port, const CSerialCommand& command);
    // Writes count bytes of the transmit buffer, traces them, then zeroes the buffer.
    LinkStatus Transmit(CQMNetAbstractPort& port, int count);
    unsigned char* TransmitBuffer() { return m_transmitBuffer.data(); }

    // One reception: ends on a whole frame, a bare 0x06/0x15, a byte that cannot start a
    // frame, maxFailedReads consecutive failed reads, a hang-up or a wake of the port, or
    // (when given) the deadline, which no stream of bytes can push back.
    LinkStatus Receive(CQMNetAbstractPort& port, int maxFailedReads, const Clock::time_point* deadline = nullptr);
    // One "Relay Status" request and one read, for the connection test.
    LinkStatus ProbeDevice(CQMNetAbstractPort& port);

    // Built from the last reception. For a single acknowledge byte only offset 0 carries
    // it; the rest is zero, never what an earlier frame left behind.
    ResponseRecord MakeResponseRecord() const;
    std::size_t GetReceivedCount() const { return m_receivedCount; }
    unsigned char FirstReceivedByte() const { return m_receiveBuffer[0]; }
    ReceiveState GetReceiveState() const { return m_state; }

    static bool CodeHasPayload(int code);

private:
    void Trace(const std::string& text) const;
    void BuildHeader(int length, unsigned char code);
    unsigned char CalculateChecksum(int count);

    TraceSink m_trace;
    int m_traceLevel = 1;
    int m_portNumber = 1;
    std::array<unsigned char, BufferSize> m_receiveBuffer{};
    std::array<unsigned char, BufferSize> m_transmitBuffer{};
    std::size_t m_receivedCount = 0;   // bytes the last reception stored
    ReceiveState m_state = ReceiveState::AwaitingStart;
};
