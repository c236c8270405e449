#pragma once

#include <cstdint>
#include <string>

// One code space for the port, the packet layer, the link and the firmware transfer:
// 0 is success, negative values are failures. Records and callbacks carry the number, so
// the values are the wire of the program's own reports and never change.
enum class LinkStatus : std::int16_t
{
    Ok = 0,
    FirmwareFileNotOpened = -1,
    AlreadyConnected = -2,
    Timeout = -6,
    InvalidFrame = -7,
    NotSendable = -8,
    NotAcknowledged = -9,
    // Never reported: a wait that the link cut short itself (a queued command, a stop).
    Woken = -11,
    OpenFailed = -12,
    CloseFailed = -13,
    // The line went away under an open port (adapter pulled, the far end of a pseudo-terminal
    // closed). It shares its number, and so its text, with a failed close: both say that the
    // connection was lost.
    LineHungUp = -13,
    WriteFailed = -14,
    ReadFailed = -15,
    // The link was stopped before the unit answered: an operator's order that this drops is
    // said once; a question is not, and nothing counts it as the unit's failure.
    Stopped = -27,
    // An order (relay switch, power cycle, reset) that found no unit to take it within its
    // lifetime was dropped unsent.
    Expired = -31,
};

constexpr int StatusNumber(LinkStatus status) { return static_cast<int>(status); }

// The user-visible text of a status number, read as a signed 16-bit value (65530 reads as -6).
std::string GetErrorText(int status);
inline std::string GetErrorText(LinkStatus status) { return GetErrorText(StatusNumber(status)); }
