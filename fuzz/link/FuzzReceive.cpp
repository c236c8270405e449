// Feeds any byte sequence to the link's receive state machine through a port that plays it
// back, and builds a response record from whatever was received.
#include <cstddef>
#include <cstdint>

#include "link/QMNetAbstractPort.h"
#include "link/QMNetLink.h"

namespace
{
class ReplayPort : public CQMNetAbstractPort
{
public:
    ReplayPort(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    LinkStatus Open() override { return LinkStatus::Ok; }
    LinkStatus Close() override { return LinkStatus::Ok; }
    LinkStatus Write(const unsigned char*, int) override { return LinkStatus::Ok; }
    LinkStatus ReadByte(unsigned char* byte) override
    {
        if (m_at >= m_size)
            return LinkStatus::Timeout;
        // 0xFE followed by 0xFE reads as one silent read, so inputs can place gaps anywhere.
        if (m_data[m_at] == 0xFE && m_at + 1 < m_size && m_data[m_at + 1] == 0xFE)
        {
            m_at += 2;
            return LinkStatus::Timeout;
        }
        *byte = m_data[m_at++];
        return LinkStatus::Ok;
    }
    int Purge() override { return 1; }
    bool Done() const { return m_at >= m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

void Swallow(const char*) {}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    CQMNetLink link;
    // The first byte picks the trace level and the failed reads allowed, so the text paths
    // are fuzzed too.
    link.SetTraceLevel(1 + data[0] % 3);
    link.SetTraceCallback(&Swallow);
    ReplayPort port(data + 1, size - 1);
    const int maxFailedReads = 1 + (data[0] >> 4) % 3;
    unsigned checksum = 0;
    for (int frames = 0; frames < 64 && !port.Done(); ++frames)
    {
        if (link.Receive(port, maxFailedReads) == LinkStatus::Ok)
        {
            const CQMNetLink::ResponseRecord record = link.MakeResponseRecord();
            for (unsigned char b : record)
                checksum += b;
        }
    }
    return checksum == 0xFFFFFFFFu ? 1 : 0;
}
