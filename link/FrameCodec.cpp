#include "FrameCodec.h"

#include "protocol/CommandCodes.h"

namespace
{
void AppendHex(std::string& text, unsigned char byte)
{
    static const char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
}

enum class FrameKind
{
    None,
    NoPayload,
    OnePayloadByte,
    TwoPayloadBytes,
    FirmwareFile,
};

FrameKind FrameKindFor(unsigned char code)
{
    using namespace CommandCode;
    switch (code)
    {
    case RelayStatus: case UnsolicitedStatus: case Uptime: case DateTime: case Gps: case GsmStatus:
    case Rssi: case TamperStatus: case Power: case RadioCapability: case RequestUpgrade: case PowerAlt:
        return FrameKind::NoPayload;
    case UnsolicitedResponses: case RelayTestCycle: case Reset: case TamperUnsolicited:
        return FrameKind::OnePayloadByte;
    case RelayToggle:
        return FrameKind::TwoPayloadBytes;
    case FirmwareTransfer:
        return FrameKind::FirmwareFile;
    default:
        return FrameKind::None;
    }
}

// A read that cannot be retried: the line is gone, or the owner wants the port back.
bool EndsTheReception(LinkStatus status)
{
    return status == LinkStatus::LineHungUp || status == LinkStatus::Woken;
}
}

bool CFrameCodec::CodeHasPayload(int code)
{
    return (code >= CommandCode::RelayStatus && code <= CommandCode::Rssi) ||
           (code >= CommandCode::TamperStatus && code <= CommandCode::RadioCapability) ||
           code == CommandCode::PowerAlt;
}

void CFrameCodec::Trace(const std::string& text) const
{
    if (m_trace)
        m_trace(text.c_str());
}

void CFrameCodec::BuildHeader(int length, unsigned char code)
{
    m_transmitBuffer[0] = StartOfFrame;
    m_transmitBuffer[1] = code;
    m_transmitBuffer[2] = static_cast<unsigned char>(length);
    m_transmitBuffer[4] = EndOfFrame;
    if (m_traceLevel >= 3)
        Trace("Building Layer 1 packet");
}

unsigned char CFrameCodec::CalculateChecksum(int count)
{
    unsigned char sum = 0;
    for (int i = 1; i <= count + 1; ++i)
        sum ^= m_transmitBuffer[static_cast<std::size_t>(i)];
    if (m_traceLevel >= 2)
    {
        std::string text = "Calculate Layer 2 checksum";
        AppendHex(text, sum);
        Trace(text);
    }
    return sum;
}

LinkStatus CFrameCodec::Transmit(CQMNetAbstractPort& port, int count)
{
    if (count < 0 || static_cast<std::size_t>(count) > BufferSize)
        count = 0;
    std::string text;
    if (m_traceLevel >= 3)
    {
        text = "COM " + std::to_string(m_portNumber) + "Transmitting: ";
        for (int i = 0; i < count; ++i)
            AppendHex(text, m_transmitBuffer[static_cast<std::size_t>(i)]);
    }
    const LinkStatus status = port.Write(m_transmitBuffer.data(), count);
    if (m_traceLevel >= 3)
        Trace(text);
    if (m_traceLevel >= 2)
        Trace("Purging transmit buffer");
    m_transmitBuffer.fill(0);
    return status;
}

LinkStatus CFrameCodec::SendCommand(CQMNetAbstractPort& port, const CSerialCommand& command)
{
    const unsigned char code = command.Code;
    switch (FrameKindFor(code))
    {
    case FrameKind::NoPayload:
        BuildHeader(0, code);
        m_transmitBuffer[3] = CalculateChecksum(1);
        return Transmit(port, 5);
    case FrameKind::OnePayloadByte:
    case FrameKind::TwoPayloadBytes:
    {
        const int length = FrameKindFor(code) == FrameKind::OnePayloadByte ? 1 : 2;
        BuildHeader(0, code);
        m_transmitBuffer[3] = command.Param1;
        if (length == 2)
            m_transmitBuffer[4] = command.Param2;
        m_transmitBuffer[2] = static_cast<unsigned char>(length);
        m_transmitBuffer[static_cast<std::size_t>(length + 4)] = EndOfFrame;
        m_transmitBuffer[static_cast<std::size_t>(length + 3)] = CalculateChecksum(length + 1);
        return Transmit(port, length + 5);
    }
    case FrameKind::FirmwareFile:
        return LinkStatus::FirmwareFileNotOpened;   // a transfer stage without a file
    case FrameKind::None:
        break;
    }
    return LinkStatus::NotSendable;
}

LinkStatus CFrameCodec::Receive(CQMNetAbstractPort& port, int maxFailedReads, const Clock::time_point* deadline)
{
    const bool traceBytes = m_traceLevel >= 3;
    if (m_traceLevel >= 2)
        Trace("Waiting for response...");
    std::string text;
    if (traceBytes)
        text = "COM " + std::to_string(m_portNumber) + " Receiving: ";

    std::size_t position = 0;
    unsigned char runningXor = 0;
    int failedReads = 0;
    unsigned int length = 0;
    unsigned int payloadRead = 0;
    LinkStatus status = LinkStatus::Ok;
    m_state = ReceiveState::AwaitingStart;

    // The longest frame is 260 bytes, so `position` stays far inside the 512-byte buffer;
    // the bound below only keeps that true whatever the port delivers.
    auto store = [&](unsigned char byte) {
        if (position < BufferSize)
            m_receiveBuffer[position++] = byte;
    };
    auto finish = [&](LinkStatus result) {
        status = result;
        m_state = ReceiveState::Done;
    };

    while (m_state != ReceiveState::Done)
    {
        if (deadline != nullptr && Clock::now() >= *deadline)
        {
            status = LinkStatus::Timeout;
            break;
        }
        ++failedReads;
        unsigned char byte = 0;
        status = port.ReadByte(&byte);
        if (status != LinkStatus::Ok)
        {
            if (EndsTheReception(status) || failedReads >= maxFailedReads)
                break;
            continue;
        }
        if (traceBytes)
            AppendHex(text, byte);
        failedReads = 0;
        switch (m_state)
        {
        case ReceiveState::AwaitingStart:
            if (byte == StartOfFrame)
            {
                store(byte);
                m_state = ReceiveState::AwaitingCode;
            }
            else if (byte == Acknowledge || byte == NegativeAcknowledge)
            {
                store(byte);
                finish(LinkStatus::Ok);
            }
            else
            {
                finish(LinkStatus::InvalidFrame);
            }
            break;
        case ReceiveState::AwaitingCode:
            store(byte);
            runningXor ^= byte;
            m_state = ReceiveState::AwaitingLength;
            break;
        case ReceiveState::AwaitingLength:
            store(byte);
            length = byte;
            if (length == 0)
            {
                m_state = ReceiveState::AwaitingChecksum;
            }
            else
            {
                runningXor ^= byte;
                m_state = ReceiveState::InPayload;
            }
            break;
        case ReceiveState::InPayload:
            store(byte);
            runningXor ^= byte;
            if (++payloadRead == length)
                m_state = ReceiveState::AwaitingChecksum;
            break;
        case ReceiveState::AwaitingChecksum:
            store(byte);
            if (byte != runningXor)
                finish(LinkStatus::InvalidFrame);
            else
                m_state = ReceiveState::AwaitingEnd;
            break;
        case ReceiveState::AwaitingEnd:
            store(byte);
            finish(byte == EndOfFrame ? LinkStatus::Ok : LinkStatus::InvalidFrame);
            break;
        case ReceiveState::Done:
            break;
        }
    }
    m_receivedCount = position;
    if (traceBytes)
        Trace(text);
    return status;
}

LinkStatus CFrameCodec::ProbeDevice(CQMNetAbstractPort& port)
{
    BuildHeader(0, CommandCode::RelayStatus);
    m_transmitBuffer[3] = CalculateChecksum(1);
    Transmit(port, 5);
    return Receive(port, 1);
}

CFrameCodec::ResponseRecord CFrameCodec::MakeResponseRecord() const
{
    ResponseRecord record{};
    if (m_receivedCount == 0)
        return record;
    record[0] = m_receiveBuffer[0];
    if (m_receivedCount == 1)
        return record;   // a single acknowledge byte: the rest stays zero, not stale
    record[1] = m_receiveBuffer[1];
    const std::size_t length = m_receiveBuffer[2];
    // A longer payload than the record holds keeps its first 56 bytes, and the length
    // says 56 so that a reader walking "length" bytes stays inside the record.
    const std::size_t kept = length < RecordPayloadBytes ? length : RecordPayloadBytes;
    record[2] = static_cast<unsigned char>(kept);
    for (std::size_t i = 0; i < kept; ++i)
        record[3 + i] = m_receiveBuffer[3 + i];
    record[RecordChecksumOffset] = m_receiveBuffer[3 + length];
    record[RecordEndOffset] = m_receiveBuffer[4 + length];
    return record;
}
