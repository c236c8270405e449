#pragma once

#include <cstdint>
#include <string>

// One code space for the port, the packet layer, the link and the firmware transfer:
// 0 is success, negative values are failures.
using LinkStatus = std::int16_t;

namespace Status
{
constexpr LinkStatus Ok = 0;
constexpr LinkStatus FirmwareFileNotOpened = -1;
constexpr LinkStatus AlreadyConnected = -2;
constexpr LinkStatus Timeout = -6;
constexpr LinkStatus InvalidFrame = -7;
constexpr LinkStatus NotSendable = -8;
constexpr LinkStatus NotAcknowledged = -9;
constexpr LinkStatus OpenFailed = -12;
constexpr LinkStatus CloseFailed = -13;
// The line went away under an open port (adapter pulled, the far end of a pseudo-terminal
// closed); its text is the one for a lost connection.
constexpr LinkStatus LineHungUp = -13;
// Never reported: a wait that the link cut short itself (a queued command, a stop).
constexpr LinkStatus Woken = -11;
constexpr LinkStatus WriteFailed = -14;
constexpr LinkStatus ReadFailed = -15;
}

// The user-visible text of a status, read as a signed 16-bit value (65530 reads as -6).
std::string GetErrorText(int status);
