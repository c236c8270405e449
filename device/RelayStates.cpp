#include "RelayStates.h"

#include "protocol/SerialCommand.h"

namespace
{
constexpr std::size_t kSwitchAnswerBytes = 2;

bool IsRelay(std::int32_t relay)
{
    return relay >= 1 && relay <= CRelayStates::kRelayCount;
}

RelayChangeCause CauseOfSource(unsigned char source)
{
    return source == 0 ? RelayChangeCause::WebInterface : RelayChangeCause::Unit;
}
}

std::optional<CUnsolicitedRelayMessage> CRelayStates::ReadUnsolicited(const unsigned char* payload,
                                                                      std::size_t length)
{
    if (payload == nullptr || length < kUnsolicitedBytes || !IsRelay(payload[0]))
        return std::nullopt;
    return CUnsolicitedRelayMessage{payload[0], StateFromByte(payload[1]), payload[2]};
}

CRelayStates::Changes CRelayStates::TakeRelayStatus(const unsigned char* payload, std::size_t length)
{
    Changes changes;
    if (payload == nullptr)
        return changes;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (std::size_t n = 0; n < length && n < static_cast<std::size_t>(kRelayCount); ++n)
        SetLocked(static_cast<std::int32_t>(n + 1), StateFromByte(payload[n]), RelayChangeCause::Poll, changes);
    return changes;
}

CRelayStates::Changes CRelayStates::TakeSwitchAnswer(const unsigned char* payload, std::size_t length,
                                                     const CSerialCommand* command, RelayChangeCause cause)
{
    Changes changes;
    std::int32_t relay = 0;
    std::int32_t state = 0;
    if (payload != nullptr && length >= kSwitchAnswerBytes)
    {
        relay = payload[0];
        state = StateFromByte(payload[1]);
    }
    else if ((payload == nullptr || length == 0) && command != nullptr)
    {
        relay = command->Param1;
        state = StateFromByte(command->Param2);
    }
    if (!IsRelay(relay))
        return changes;
    std::lock_guard<std::mutex> guard(m_mutex);
    SetLocked(relay, state, cause, changes);
    return changes;
}

CRelayStates::Changes CRelayStates::TakeUnsolicited(const unsigned char* payload, std::size_t length)
{
    Changes changes;
    const std::optional<CUnsolicitedRelayMessage> message = ReadUnsolicited(payload, length);
    if (!message)
        return changes;
    std::lock_guard<std::mutex> guard(m_mutex);
    SetLocked(message->Relay, message->State, CauseOfSource(message->Source), changes);
    return changes;
}

std::int32_t CRelayStates::GetState(std::int32_t relay) const
{
    if (!IsRelay(relay))
        return kUnknown;
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_states[static_cast<std::size_t>(relay - 1)];
}

std::array<std::int32_t, CRelayStates::kRelayCount> CRelayStates::GetStates() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_states;
}

void CRelayStates::SetLocked(std::int32_t relay, std::int32_t state, RelayChangeCause cause, Changes& changes)
{
    std::int32_t& held = m_states[static_cast<std::size_t>(relay - 1)];
    if (held == state)
        return;
    changes.emplace_back(relay, held, state, cause);
    held = state;
}
