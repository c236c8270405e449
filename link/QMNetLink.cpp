#include "QMNetLink.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

#include "device/CommandCodes.h"
#include "device/XModemCommand.h"

namespace
{
constexpr unsigned char kStartOfFrame = 0x02;
constexpr unsigned char kEndOfFrame = 0x03;
constexpr unsigned char kAcknowledge = 0x06;
constexpr unsigned char kNegativeAcknowledge = 0x15;

constexpr unsigned char kXModemStartOfBlock = 0x01;
constexpr unsigned char kXModemEndOfTransmission = 0x04;
constexpr unsigned char kXModemPadding = 0x1A;
constexpr int kXModemBlockFrameBytes = 3 + CQMNetLink::XModemBlockBytes + 1;
constexpr int kXModemAttemptsPerBlock = 3;
constexpr int kXModemStartWaitReads = 3;
constexpr int kXModemAckWaitReads = 2;

// The answer to code 7 is read up to byte 19; a shorter answer marks that byte unset.
constexpr unsigned char kGpsPayloadMinimum = 20;
constexpr std::size_t kGpsFlagByte = 19;

void AppendHex(std::string& text, unsigned char byte)
{
    static const char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
}

std::string HexText(unsigned char byte)
{
    std::string text;
    AppendHex(text, byte);
    return text;
}

bool CodeHasPayload(int code)
{
    return (code >= 1 && code <= 10) || (code >= 12 && code <= 15) || code == 128;
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
    switch (code)
    {
    case 1: case 3: case 4: case 6: case 7: case 8: case 10: case 12: case 14: case 15:
    case CommandCode::RequestUpgrade:
    case CommandCode::PowerAlt:
        return FrameKind::NoPayload;
    case 2: case 5: case 11: case 13:
        return FrameKind::OnePayloadByte;
    case 9:
        return FrameKind::TwoPayloadBytes;
    case CommandCode::FirmwareTransfer:
        return FrameKind::FirmwareFile;
    default:
        return FrameKind::None;
    }
}
}

CQMNetLink::CQMNetLink()
{
    // Without the pipe the link still works; only a stop waits for the idle listen to end.
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wakePipe[0] = m_wakePipe[1] = -1;
}

CQMNetLink::~CQMNetLink()
{
    RequestStop(true);
    WaitForStop();
    ClearQueue();
    for (int& fd : m_wakePipe)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void CQMNetLink::SetPort(int portNumber, unsigned int baudRate)
{
    m_portNumber = portNumber;
    m_baudRate = baudRate;
}

void CQMNetLink::SetTiming(int retryCount, unsigned int pollSleepMs, unsigned int readTimeoutMs)
{
    m_retryCount = retryCount < 0 ? 0 : retryCount;
    m_pollSleepMs = pollSleepMs;
    m_readTimeoutMs = readTimeoutMs;
}

bool CQMNetLink::Start()
{
    if (std::this_thread::get_id() == m_workerId)
        return false;   // from a callback: the worker cannot wait for itself
    if (m_worker.joinable())
    {
        if (m_running.load() && !m_stopRequest.load())
            return false;
        m_worker.join();
    }
    m_running = true;
    try
    {
        m_worker = std::thread([this] { LinkWorker(); });
    }
    catch (const std::system_error&)
    {
        m_running = false;
        return false;
    }
    return true;
}

void CQMNetLink::QueueCommand(std::unique_ptr<CSerialCommand> command)
{
    if (!command)
        return;
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.push_back(std::move(command));
}

void CQMNetLink::RequestStop(bool stop)
{
    m_stopRequest = stop;
    if (stop)
    {
        if (m_wakePipe[1] >= 0)
        {
            const unsigned char wake = 1;
            // A full pipe already wakes the worker; nothing else to do then.
            [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &wake, 1);
        }
    }
    else
    {
        DrainWakePipe();
    }
}

void CQMNetLink::WaitForStop()
{
    if (!m_worker.joinable() || std::this_thread::get_id() == m_workerId)
        return;
    m_worker.join();
}

std::size_t CQMNetLink::GetQueueLength() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_queue.size();
}

int CQMNetLink::ConfigurePort(CQMNetSerialPort* port) const
{
    if (port == nullptr)
        return 0;
    port->SetLine(static_cast<short>(m_portNumber), static_cast<int>(m_baudRate));
    return 1;
}

std::unique_ptr<CSerialCommand> CQMNetLink::PopCommand()
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (m_queue.empty())
        return nullptr;
    std::unique_ptr<CSerialCommand> command = std::move(m_queue.back());
    m_queue.pop_back();
    return command;
}

void CQMNetLink::ClearQueue()
{
    std::vector<std::unique_ptr<CSerialCommand>> doomed;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        doomed.swap(m_queue);
    }
    // Destroyed outside the lock: a command's destructor is not ours to reason about.
}

void CQMNetLink::DrainWakePipe()
{
    if (m_wakePipe[0] < 0)
        return;
    unsigned char sink[64];
    while (::read(m_wakePipe[0], sink, sizeof sink) > 0)
    {
    }
}

bool CQMNetLink::WaitForPollSleep()
{
    if (m_stopRequest.load())
        return false;
    pollfd pfd{m_wakePipe[0], POLLIN, 0};
    ::poll(&pfd, m_wakePipe[0] >= 0 ? 1 : 0, static_cast<int>(m_pollSleepMs));
    return !m_stopRequest.load();
}

void CQMNetLink::Trace(const char* text) const
{
    if (m_traceCallback != nullptr)
        m_traceCallback(text);
}

// ---- packet layer ----

void CQMNetLink::BuildHeader(int length, unsigned char code)
{
    m_transmitBuffer[0] = kStartOfFrame;
    m_transmitBuffer[1] = code;
    m_transmitBuffer[2] = static_cast<unsigned char>(length);
    m_transmitBuffer[4] = kEndOfFrame;
    if (m_traceLevel >= 3)
        Trace("Building Layer 1 packet");
}

unsigned char CQMNetLink::CalculateChecksum(int count)
{
    unsigned char sum = 0;
    for (int i = 1; i <= count + 1; ++i)
        sum ^= m_transmitBuffer[static_cast<std::size_t>(i)];
    if (m_traceLevel >= 2)
        Trace("Calculate Layer 2 checksum" + HexText(sum));
    return sum;
}

void CQMNetLink::PurgeTransmitBuffer()
{
    if (m_traceLevel >= 2)
        Trace("Purging transmit buffer");
    m_transmitBuffer.fill(0);
}

LinkStatus CQMNetLink::Transmit(CQMNetAbstractPort& port, int count)
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
    PurgeTransmitBuffer();
    return status;
}

LinkStatus CQMNetLink::SendCommand(CQMNetAbstractPort& port, CSerialCommand& command)
{
    const unsigned char code = command.Code;
    switch (FrameKindFor(code))
    {
    case FrameKind::NoPayload:
        BuildHeader(0, code);
        m_transmitBuffer[3] = CalculateChecksum(1);
        return Transmit(port, 5);
    case FrameKind::OnePayloadByte:
        BuildHeader(0, code);
        m_transmitBuffer[3] = command.Param1;
        m_transmitBuffer[2] = 1;
        m_transmitBuffer[5] = kEndOfFrame;
        m_transmitBuffer[4] = CalculateChecksum(2);
        return Transmit(port, 6);
    case FrameKind::TwoPayloadBytes:
        BuildHeader(0, code);
        m_transmitBuffer[3] = command.Param1;
        m_transmitBuffer[4] = command.Param2;
        m_transmitBuffer[2] = 2;
        m_transmitBuffer[6] = kEndOfFrame;
        m_transmitBuffer[5] = CalculateChecksum(3);
        return Transmit(port, 7);
    case FrameKind::FirmwareFile:
        if (const auto* xmodem = dynamic_cast<const CXModemCommand*>(&command))
            return SendFirmwareFile(port, xmodem->GetFilePath());
        return Status::FirmwareFileNotOpened;   // a transfer stage without a file
    case FrameKind::None:
        break;
    }
    return Status::NotSendable;
}

LinkStatus CQMNetLink::Receive(CQMNetAbstractPort& port, int maxFailedReads)
{
    const bool traceBytes = m_traceLevel >= 3;
    if (m_traceLevel >= 2)
        Trace("Waiting for response...");
    std::string text;
    if (traceBytes)
        text = "COM " + std::to_string(m_portNumber) + " Receiving: ";

    std::size_t position = 0;
    unsigned char runningXor = 0;
    int state = 1;
    int failedReads = 0;
    unsigned int length = 0;
    unsigned int payloadRead = 0;
    LinkStatus status = Status::Ok;
    bool finished = false;

    // The longest frame is 260 bytes, so `position` stays far inside the 512-byte buffer;
    // the bound below only keeps that true whatever the port delivers.
    auto store = [&](unsigned char byte) {
        if (position < BufferSize)
            m_receiveBuffer[position++] = byte;
    };

    while (!finished)
    {
        ++failedReads;
        unsigned char byte = 0;
        status = port.ReadByte(&byte);
        if (status != Status::Ok)
        {
            if (failedReads >= maxFailedReads)
                break;
            continue;
        }
        if (traceBytes)
            AppendHex(text, byte);
        failedReads = 0;
        switch (state)
        {
        case 1:
            if (byte == kStartOfFrame)
            {
                store(byte);
                state = 2;
            }
            else if (byte == kAcknowledge || byte == kNegativeAcknowledge)
            {
                store(byte);
                finished = true;
            }
            else
            {
                status = Status::InvalidFrame;
                finished = true;
            }
            break;
        case 2:
            store(byte);
            runningXor ^= byte;
            state = 3;
            break;
        case 3:
            store(byte);
            length = byte;
            if (length == 0)
            {
                state = 5;
            }
            else
            {
                runningXor ^= byte;
                state = 4;
            }
            break;
        case 4:
            store(byte);
            runningXor ^= byte;
            if (++payloadRead == length)
                state = 5;
            break;
        case 5:
            store(byte);
            if (byte != runningXor)
            {
                status = Status::InvalidFrame;
                finished = true;
            }
            else
            {
                state = 6;
            }
            break;
        default:
            store(byte);
            if (byte != kEndOfFrame)
                status = Status::InvalidFrame;
            finished = true;
            break;
        }
    }
    m_receivedCount = position;
    if (traceBytes)
        Trace(text);
    return status;
}

LinkStatus CQMNetLink::ProbeDevice(CQMNetAbstractPort& port)
{
    BuildHeader(0, CommandCode::RelayStatus);
    m_transmitBuffer[3] = CalculateChecksum(1);
    Transmit(port, 5);
    return Receive(port, 1);
}

CQMNetLink::ResponseRecord CQMNetLink::MakeResponseRecord() const
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

// ---- firmware transfer ----

LinkStatus CQMNetLink::SendFirmwareFile(CQMNetAbstractPort& port, const std::string& path)
{
    // The path is UTF-8 already, which is what the file system takes as-is.
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Status::FirmwareFileNotOpened;

    long size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    if (size < 0)
        size = 0;
    std::fseek(file, 0, SEEK_SET);
    const int total = static_cast<int>(size);

    if (m_progressCallback != nullptr)
        m_progressCallback(0, total);

    unsigned char data[XModemBlockBytes];
    std::fill(std::begin(data), std::end(data), kXModemPadding);
    unsigned char blockNumber = 0;
    long long bytesSent = 0;

    // The receiver's start signal; the transfer begins whatever comes.
    Receive(port, kXModemStartWaitReads);

    LinkStatus status = Status::Ok;
    while (std::fread(data, 1, sizeof data, file) > 0)
    {
        ++blockNumber;   // wraps from 255 to 0
        bool acknowledged = false;
        for (int attempt = 0; attempt < kXModemAttemptsPerBlock && !acknowledged; ++attempt)
        {
            m_transmitBuffer[0] = kXModemStartOfBlock;
            m_transmitBuffer[1] = blockNumber;
            m_transmitBuffer[2] = static_cast<unsigned char>(255 - blockNumber);
            unsigned char sum = 0;
            for (int i = 0; i < XModemBlockBytes; ++i)
            {
                m_transmitBuffer[3 + static_cast<std::size_t>(i)] = data[i];
                sum = static_cast<unsigned char>(sum + data[i]);
            }
            m_transmitBuffer[3 + XModemBlockBytes] = sum;
            status = Transmit(port, kXModemBlockFrameBytes);
            if (status != Status::Ok)
                continue;
            acknowledged = Receive(port, kXModemAckWaitReads) == Status::Ok &&
                           m_receiveBuffer[0] == kAcknowledge;
            status = acknowledged ? Status::Ok : Status::NotAcknowledged;
        }
        if (!acknowledged)
            break;
        bytesSent += XModemBlockBytes;
        if (m_progressCallback != nullptr)
            m_progressCallback(static_cast<int>(bytesSent), total);
        std::fill(std::begin(data), std::end(data), kXModemPadding);
    }
    std::fclose(file);
    if (status != Status::Ok)
        return status;

    m_transmitBuffer[0] = kXModemEndOfTransmission;
    status = Transmit(port, 1);
    if (status != Status::Ok)
    {
        m_transmitBuffer[0] = kXModemEndOfTransmission;
        status = Transmit(port, 1);
    }
    return status;
}

// ---- worker ----

void CQMNetLink::ReportFailure(int status, CSerialCommand* command)
{
    if (m_responseCallback != nullptr)
        m_responseCallback(status, command != nullptr ? command->Code : 0, command, nullptr);
}

void CQMNetLink::DeliverResponse(int status, int code, CSerialCommand* command,
                                 ResponseRecord& record)
{
    const unsigned char* payload = nullptr;
    if (CodeHasPayload(code) && m_receivedCount > 1)
    {
        if (code == CommandCode::Gps && record[2] < kGpsPayloadMinimum)
            record[3 + kGpsFlagByte] = 0xFF;
        payload = &record[3];
    }
    if (m_responseCallback != nullptr)
        m_responseCallback(status, code, command, payload);
}

void CQMNetLink::LinkWorker()
{
    m_workerId = std::this_thread::get_id();
    DrainWakePipe();
    m_port.SetLine(static_cast<short>(m_portNumber), static_cast<int>(m_baudRate));
    m_port.SetReadTimeout(m_readTimeoutMs);
    bool portOpen = false;
    bool openFailureReported = false;

    while (WaitForPollSleep())
    {
        if (!portOpen)
        {
            if (m_port.Open() != Status::Ok)
            {
                // Said once per outage, with no command: every queued command (the link-start
                // ones above all) stays for when the port comes back.
                if (!openFailureReported)
                    ReportFailure(Status::OpenFailed, nullptr);
                openFailureReported = true;
                m_port.Close();
                continue;
            }
            portOpen = true;
            openFailureReported = false;
        }

        std::unique_ptr<CSerialCommand> current = PopCommand();
        if (current)
            SendCommand(m_port, *current);

        int attempts = 0;
        LinkStatus status = Status::Ok;
        for (;;)
        {
            // Only a listen with nothing outstanding may be cut short by a stop.
            if (!current && m_wakePipe[0] >= 0)
                m_port.ArmWakeDescriptor(m_wakePipe[0]);
            status = Receive(m_port, m_retryCount);
            m_port.ArmWakeDescriptor(-1);
            if (status != Status::Ok)
            {
                if (!current)
                    break;
                if (attempts >= m_retryCount)
                {
                    ReportFailure(status, current.get());
                    break;
                }
                ++attempts;
                continue;
            }

            ResponseRecord record = MakeResponseRecord();
            const bool singleByte = m_receivedCount == 1;
            if (current && current->Code == CommandCode::RequestUpgrade)
            {
                current->Code = CommandCode::FirmwareTransfer;
                std::lock_guard<std::mutex> lock(m_queueLock);
                m_queue.push_back(std::move(current));
                break;
            }
            if (current && current->Code == CommandCode::FirmwareTransfer)
            {
                // The device's acknowledge of the end of transmission is a single 0x06.
                if (record[0] != kAcknowledge)
                    status = Status::NotAcknowledged;
                DeliverResponse(status, CommandCode::FirmwareTransfer, current.get(), record);
                current.reset();
                break;
            }
            if (singleByte)
            {
                // A bare acknowledge answers the command that is waiting, never the code of
                // whatever frame came before it; a refusal is a failure, not a success.
                if (!current)
                    break;   // nothing was asked: nothing to answer
                record[1] = current->Code;
                if (record[0] != kAcknowledge)
                    status = Status::NotAcknowledged;
                if (m_responseCallback != nullptr)
                    m_responseCallback(status, current->Code, current.get(), nullptr);
                current.reset();
                break;
            }
            const int code = record[1];
            DeliverResponse(Status::Ok, code, current.get(), record);
            if (current && code == current->Code)
                current.reset();
            if (!current)
                break;
        }

        if (status != Status::Ok)
        {
            current.reset();
            m_port.Close();
            portOpen = false;
        }
    }

    m_stopRequest = false;
    DrainWakePipe();
    m_port.Close();
    ClearQueue();
    // Cleared before the owner hears of the end, so a Start made in answer to it joins
    // this thread instead of taking it for a live worker.
    m_running = false;
    if (m_threadExitCallback != nullptr)
        m_threadExitCallback(this);
    m_workerId = std::thread::id();
}
