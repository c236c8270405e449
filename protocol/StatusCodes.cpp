#include "StatusCodes.h"

#include <array>

namespace
{
// Indexed by -status - 1; the texts are shown exactly as the device tools always have.
constexpr std::array<const char*, 30> kErrorTexts = {
    "the display is busy executing a task.",
    "connection is already established and can not connect multiple times.",
    "connection can not be established until it has been configured.",
    "no Connection has been established.",
    "request task can not be broadcasted.",
    "no response from the device within the timeout period.",
    "invalid response recieved from the device.",
    "device doesn't support this feature.",
    "the request was not recognized.",
    "device is unable to respond to the request.",
    "request was aborted.",
    "connection failed can't open COM port, or establish TCP/IP or dialup connection.",
    "an error has occurred while disconnected from the device.",
    "connection with the device appears to be in use.",
    "connection with the device appears to be in use.",
    "can't create a local socket for TCP/IP.",
    "TCP/IP socket can't be initialized.",
    "graphic format is not supported.",
    "windows sockets 1.1 has not been initialized.",
    "current network connection is down.",
    "DNS host not found.",
    "server failure has occurred.",
    "a nonrecoverable error has occurred.",
    "Vvlid DNS but no data record was found.",
    "a request call is in progress.",
    "invalid address was used for communication.",
    "a request call was canceled.",
    "authentication with device is incorrect.",
    "could not decompress file, file was incorrectly compressed.",
    "could not compress files, not enough memory or not enough buffer space allocated.",
};
constexpr const char* kUnknownError = "unknown error has occurred.";
}

std::string GetErrorText(int status)
{
    const int code = static_cast<std::int16_t>(static_cast<std::uint16_t>(status));
    if (code == static_cast<int>(LinkStatus::Expired))
        return "no answer from the unit in time, the order was dropped.";
    if (code >= -30 && code <= -1)
        return kErrorTexts[static_cast<std::size_t>(-code - 1)];
    return kUnknownError;
}
