#include "HostFrameParser.h"

namespace
{
// A host that sends nothing but noise still gets it reported in pieces of bounded size.
constexpr std::size_t kMaxNoise = 256;
}  // namespace

std::optional<CHostFrameParser::Unit> CHostFrameParser::Feed(std::uint8_t byte, std::uint64_t nowMs)
{
    std::optional<Unit> expired = Expire(nowMs);
    m_lastByteAt = nowMs;
    if (m_frame.empty())
    {
        if (byte != wire::kStart)
        {
            m_noise.push_back(byte);
            if (!expired && m_noise.size() >= kMaxNoise)
                return TakeNoise();
            return expired;
        }
        m_frame.push_back(byte);
        // Noise ends where a frame starts; report it now so the transcript keeps the order.
        if (!expired)
            return TakeNoise();
        return expired;
    }

    m_frame.push_back(byte);
    if (m_frame.size() < 3 || m_frame.size() < 5u + m_frame[2])
        return expired;

    Unit unit;
    unit.bytes = std::move(m_frame);
    m_frame.clear();
    unit.code = unit.bytes[1];
    unit.payload.assign(unit.bytes.begin() + 3, unit.bytes.end() - 2);
    if (unit.bytes[unit.bytes.size() - 2] != wire::Checksum(unit.code, unit.payload))
        unit.verdict = Verdict::BadChecksum;
    else if (unit.bytes.back() != wire::kEnd)
        unit.verdict = Verdict::BadEnd;
    return unit;
}

std::optional<CHostFrameParser::Unit> CHostFrameParser::Expire(std::uint64_t nowMs)
{
    if (nowMs < m_lastByteAt + m_gapMs)
        return std::nullopt;
    if (!m_frame.empty())
    {
        Unit unit;
        unit.verdict = Verdict::Incomplete;
        unit.bytes = std::move(m_frame);
        m_frame.clear();
        return unit;
    }
    return TakeNoise();
}

std::optional<std::uint64_t> CHostFrameParser::Deadline() const
{
    if (m_frame.empty() && m_noise.empty())
        return std::nullopt;
    return m_lastByteAt + m_gapMs;
}

void CHostFrameParser::Clear()
{
    m_frame.clear();
    m_noise.clear();
}

const char* CHostFrameParser::VerdictText(Verdict verdict)
{
    switch (verdict)
    {
    case Verdict::Good:
        return "";
    case Verdict::BadChecksum:
        return "!checksum";
    case Verdict::BadEnd:
        return "!end";
    case Verdict::Incomplete:
        return "!incomplete";
    case Verdict::Noise:
        return "!noise";
    }
    return "";
}

std::optional<CHostFrameParser::Unit> CHostFrameParser::TakeNoise()
{
    if (m_noise.empty())
        return std::nullopt;
    Unit unit;
    unit.verdict = Verdict::Noise;
    unit.bytes = std::move(m_noise);
    m_noise.clear();
    return unit;
}
