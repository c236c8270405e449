// Arbitrary bytes as one control request line. Beyond not crashing: a request is either
// refused with a reason or is one the server can carry out with values in range, and the
// reason, which goes into the log and back to the client, is one printable line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "control/ControlRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const CControlRequest request = ParseControlRequest(line);
    using Kind = CControlRequest::Kind;
    const bool relayCommand =
        request.What == Kind::RelayOn || request.What == Kind::RelayOff || request.What == Kind::RelayCycle;
    if (request.IsValid() == !request.Error.empty() ||
        (relayCommand &&
         (request.Relay < CControlRequest::kFirstRelay || request.Relay > CControlRequest::kLastRelay)) ||
        request.WaitSeconds < 1 || request.WaitSeconds > CControlRequest::kMaxWaitSeconds || request.Lines < 0 ||
        request.Lines > CControlRequest::kMaxLogLines || (size >= CControlRequest::kMaxBytes && request.IsValid()))
    {
        std::fprintf(stderr, "inconsistent request\n");
        std::abort();
    }
    for (unsigned char c : request.Error)
    {
        if (c < 0x20 || c > 0x7e)
        {
            std::fprintf(stderr, "unprintable byte in the reason\n");
            std::abort();
        }
    }
    return 0;
}
