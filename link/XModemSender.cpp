#include "XModemSender.h"

#include <algorithm>
#include <cstdio>

namespace
{
constexpr unsigned char kStartOfBlock = 0x01;
constexpr unsigned char kEndOfTransmission = 0x04;
constexpr unsigned char kPadding = 0x1A;
constexpr int kBlockFrameBytes = 3 + CXModemSender::BlockBytes + 1;
constexpr int kAttemptsPerBlock = 3;
constexpr int kStartWaitReads = 3;
constexpr int kAckWaitReads = 2;
}

void CXModemSender::SendCancel(CQMNetAbstractPort& port)
{
    unsigned char* buffer = m_codec.TransmitBuffer();
    buffer[0] = Cancel;
    buffer[1] = Cancel;
    // After a stop the port would refuse every write; the cancel must still go, or the unit
    // stays in its upload mode. Two bytes leave at once unless the line is stuck, and the
    // write is bounded then.
    if (StopRequested())
        port.WatchStop(-1);
    m_codec.Transmit(port, 2);
}

LinkStatus CXModemSender::Send(CQMNetAbstractPort& port, const std::string& path)
{
    // The path is UTF-8 already, which is what the file system takes as-is.
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
    {
        // The unit answered the upgrade request and waits for blocks that will not come.
        SendCancel(port);
        return LinkStatus::FirmwareFileNotOpened;
    }

    long size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    if (size < 0)
        size = 0;
    std::fseek(file, 0, SEEK_SET);
    const int total = static_cast<int>(size);

    if (m_progress)
        m_progress(0, total);

    unsigned char data[BlockBytes];
    std::fill(std::begin(data), std::end(data), kPadding);
    unsigned char blockNumber = 0;
    long long bytesSent = 0;

    // The receiver's start signal; the transfer begins whatever comes.
    m_codec.Receive(port, kStartWaitReads);

    LinkStatus status = LinkStatus::Ok;
    while (std::fread(data, 1, sizeof data, file) > 0)
    {
        ++blockNumber;   // wraps from 255 to 0
        bool acknowledged = false;
        for (int attempt = 0; attempt < kAttemptsPerBlock && !acknowledged; ++attempt)
        {
            if (StopRequested())
            {
                status = LinkStatus::Stopped;
                break;
            }
            unsigned char* block = m_codec.TransmitBuffer();
            block[0] = kStartOfBlock;
            block[1] = blockNumber;
            block[2] = static_cast<unsigned char>(255 - blockNumber);
            unsigned char sum = 0;
            for (int i = 0; i < BlockBytes; ++i)
            {
                block[3 + i] = data[i];
                sum = static_cast<unsigned char>(sum + data[i]);
            }
            block[3 + BlockBytes] = sum;
            status = m_codec.Transmit(port, kBlockFrameBytes);
            if (status != LinkStatus::Ok)
                continue;
            acknowledged = m_codec.Receive(port, kAckWaitReads) == LinkStatus::Ok &&
                           m_codec.FirstReceivedByte() == CFrameCodec::Acknowledge;
            status = acknowledged ? LinkStatus::Ok : LinkStatus::NotAcknowledged;
            if (!acknowledged && StopRequested())
                status = LinkStatus::Stopped;
        }
        if (status == LinkStatus::Stopped)
            break;
        if (!acknowledged)
            break;
        bytesSent += BlockBytes;
        if (m_progress)
            m_progress(static_cast<int>(bytesSent), total);
        std::fill(std::begin(data), std::end(data), kPadding);
    }
    std::fclose(file);
    if (status != LinkStatus::Ok)
    {
        // Without it the unit would wait for blocks while the poll's frames arrive as noise.
        if (status != LinkStatus::LineHungUp)
            SendCancel(port);
        return status;
    }

    unsigned char* buffer = m_codec.TransmitBuffer();
    buffer[0] = kEndOfTransmission;
    status = m_codec.Transmit(port, 1);
    if (status != LinkStatus::Ok)
    {
        buffer[0] = kEndOfTransmission;
        status = m_codec.Transmit(port, 1);
    }
    return status;
}
