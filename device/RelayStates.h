#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "core/EventArgs.h"

class CSerialCommand;

// One unsolicited relay message (code 2) as the unit sent it.
struct CUnsolicitedRelayMessage
{
    std::int32_t Relay = 0;
    std::int32_t State = 0;      // 0 on, 1 off
    unsigned char Source = 0;    // 0 web interface, 1 button, anything else a schedule
};

// The one place that decides what state each relay is in. It takes the unit's reports in the
// order the link worker received them (the relay status answer, the answer to a switch, an
// unsolicited relay message) and the newest wins, whoever sent it. Every consumer (the relay
// controls, the broker bridge) shows what this says and reads no payload byte itself, so they
// cannot drift apart, and the next relay status answer corrects all of them at once.
//
// A power cycle's answer is not taken: the unit puts the relay back as it was, and a unit
// that reports the off spell does so with its own unsolicited messages.
//
// Written on the link worker, read from any thread.
class CRelayStates
{
public:
    static constexpr std::int32_t kRelayCount = 4;
    static constexpr std::int32_t kUnknown = -1;
    static constexpr std::size_t kUnsolicitedBytes = 3;
    using Changes = std::vector<CRelayStateChangedEventArgs>;

    // A relay state byte as the unit sends it: 0 is on, anything else off.
    static std::int32_t StateFromByte(unsigned char value) { return value != 0 ? 1 : 0; }
    // Code 2's payload: only a whole message (three bytes) about relay 1 to 4 is one.
    static std::optional<CUnsolicitedRelayMessage> ReadUnsolicited(const unsigned char* payload, std::size_t length);

    // Whether a relay status answer speaks for every relay; a shorter one leaves the others as
    // they were. Only a whole answer shows a unit that is back from a reset.
    static bool IsWholeRelayStatus(const unsigned char* payload, std::size_t length)
    {
        return payload != nullptr && length >= static_cast<std::size_t>(kRelayCount);
    }

    // Each returns the changes it made, in relay order, for the caller to raise.
    // The relay status answer speaks for as many relays as its payload holds.
    Changes TakeRelayStatus(const unsigned char* payload, std::size_t length);
    // The unit's answer to a switch: relay and state as answered; an answer without payload
    // bytes (a bare acknowledge, an empty frame) confirms the command as sent.
    Changes TakeSwitchAnswer(const unsigned char* payload, std::size_t length, const CSerialCommand* command,
                             RelayChangeCause cause);
    Changes TakeUnsolicited(const unsigned char* payload, std::size_t length);

    // kUnknown for a relay not reported yet or a number outside 1 to kRelayCount.
    std::int32_t GetState(std::int32_t relay) const;
    std::array<std::int32_t, kRelayCount> GetStates() const;

private:
    void SetLocked(std::int32_t relay, std::int32_t state, RelayChangeCause cause, Changes& changes);

    mutable std::mutex m_mutex;
    std::array<std::int32_t, kRelayCount> m_states{kUnknown, kUnknown, kUnknown, kUnknown};
};
