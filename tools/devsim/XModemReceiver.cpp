#include "XModemReceiver.h"

#include <numeric>

namespace
{
// Noise is kept for the transcript only up to this size.
constexpr std::size_t kMaxNoise = 1024;
}  // namespace

wire::Bytes CXModemReceiver::Start(std::uint64_t nowMs)
{
    m_state = State::Receiving;
    m_phase = Phase::AwaitBlock;
    m_unit.clear();
    m_data.clear();
    m_expected = 1;
    m_started = false;
    m_errors = 0;
    m_blocks = 0;
    m_deadline = nowMs + m_timing.nakIntervalMs;
    return {wire::kNak};
}

std::optional<CXModemReceiver::Action> CXModemReceiver::Feed(std::uint8_t byte, std::uint64_t nowMs)
{
    if (m_state != State::Receiving)
        return std::nullopt;
    switch (m_phase)
    {
    case Phase::AwaitBlock:
        if (byte == wire::kSoh)
        {
            m_phase = Phase::InBlock;
            m_unit = {byte};
            m_deadline = nowMs + m_timing.gapMs;
            return std::nullopt;
        }
        if (byte == wire::kEot)
        {
            m_state = State::Done;
            return Action{{byte}, "end of transmission", {wire::kAck}};
        }
        if (byte == wire::kCan)
        {
            // One CAN may be line noise; the second in a row is the sender's cancel.
            if (m_unit.size() == 1 && m_unit[0] == wire::kCan)
            {
                m_state = State::Aborted;
                m_unit.clear();
                return Action{{wire::kCan, wire::kCan}, "cancelled by the sender", {}};
            }
            m_unit = {byte};
            m_deadline = nowMs + m_timing.gapMs;
            return std::nullopt;
        }
        // Anything else means the line is out of step: wait until it is quiet, then ask again.
        m_phase = Phase::Discarding;
        m_unit = {byte};
        m_deadline = nowMs + m_timing.gapMs;
        return std::nullopt;
    case Phase::InBlock:
        m_unit.push_back(byte);
        m_deadline = nowMs + m_timing.gapMs;
        if (m_unit.size() < wire::kBlockSize)
            return std::nullopt;
        return JudgeBlock(nowMs);
    case Phase::Discarding:
        if (m_unit.size() < kMaxNoise)
            m_unit.push_back(byte);
        m_deadline = nowMs + m_timing.gapMs;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<CXModemReceiver::Action> CXModemReceiver::Expire(std::uint64_t nowMs)
{
    if (m_state != State::Receiving || nowMs < m_deadline)
        return std::nullopt;
    Action action;
    action.received = std::move(m_unit);
    m_unit.clear();
    switch (m_phase)
    {
    case Phase::AwaitBlock:
        action.note = m_started ? "!timeout" : "waiting for sender";
        break;
    case Phase::InBlock:
        action.note = "!incomplete";
        break;
    case Phase::Discarding:
        action.note = "!noise";
        break;
    }
    action.reply = {wire::kNak};
    return Fail(std::move(action), nowMs);
}

std::optional<std::uint64_t> CXModemReceiver::Deadline() const
{
    if (m_state != State::Receiving)
        return std::nullopt;
    return m_deadline;
}

CXModemReceiver::Action CXModemReceiver::JudgeBlock(std::uint64_t nowMs)
{
    Action action;
    action.received = std::move(m_unit);
    m_unit.clear();
    m_phase = Phase::AwaitBlock;
    m_deadline = nowMs + m_timing.idleMs;
    const wire::Bytes& b = action.received;
    const std::uint8_t number = b[1];
    const auto dataBegin = b.begin() + 3;
    const auto dataEnd = dataBegin + wire::kBlockDataSize;
    const std::uint8_t sum = std::accumulate(dataBegin, dataEnd, std::uint8_t{0},
                                             [](std::uint8_t acc, std::uint8_t v) {
                                                 return static_cast<std::uint8_t>(acc + v);
                                             });
    action.reply = {wire::kNak};
    if (static_cast<std::uint8_t>(number ^ b[2]) != 0xFF)
    {
        action.note = "!header";
        return Fail(std::move(action), nowMs);
    }
    if (sum != b.back())
    {
        action.note = "!checksum";
        return Fail(std::move(action), nowMs);
    }
    if (number == m_expected)
    {
        if (m_refusals > 0)
        {
            // A deliberate refusal is the test's doing, not the line's: it does not bring the
            // unit closer to giving up.
            --m_refusals;
            action.note = "refused block " + std::to_string(number);
            return action;
        }
        if (m_data.size() + wire::kBlockDataSize > m_timing.maxBytes)
        {
            action.note = "!too-large";
            m_state = State::Aborted;
            action.reply = {wire::kCan, wire::kCan};
            return action;
        }
        m_data.insert(m_data.end(), dataBegin, dataEnd);
        m_started = true;
        m_errors = 0;
        ++m_blocks;
        ++m_expected;   // wraps from 255 to 0 like the block number does
        action.note = "block " + std::to_string(number);
        action.reply = {wire::kAck};
        return action;
    }
    if (m_started && number == static_cast<std::uint8_t>(m_expected - 1))
    {
        // The sender missed our acknowledge and sent the block again: keep the first copy.
        action.note = "duplicate block " + std::to_string(number);
        action.reply = {wire::kAck};
        return action;
    }
    action.note = "!sequence";
    return Fail(std::move(action), nowMs);
}

CXModemReceiver::Action CXModemReceiver::Fail(Action action, std::uint64_t nowMs)
{
    m_phase = Phase::AwaitBlock;
    m_deadline = nowMs + (m_started ? m_timing.idleMs : m_timing.nakIntervalMs);
    if (++m_errors >= m_timing.maxErrors)
    {
        m_state = State::Aborted;
        action.note += " (giving up)";
        action.reply = {wire::kCan, wire::kCan};
    }
    return action;
}
