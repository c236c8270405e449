// Arbitrary topics and payloads from the broker. Beyond not crashing: a command is either
// refused with a reason or names a relay of the unit, and the reason, which goes into the
// log and from there to the broker again, always makes valid JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "remote/JsonWriter.h"
#include "remote/RemoteCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first zero byte, if any, ends the topic; the rest is the payload.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto split = bytes.find('\0');
    const std::string_view topic = bytes.substr(0, split);
    const std::string_view payload = split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1);

    const CRemoteCommand command = ParseRemoteCommand(topic, payload);
    const bool relayCommand = command.What == CRemoteCommand::Kind::RelayOn ||
                              command.What == CRemoteCommand::Kind::RelayOff ||
                              command.What == CRemoteCommand::Kind::RelayCycle;
    if (command.IsValid() == !command.Error.empty() || (relayCommand && (command.Relay < 1 || command.Relay > 4)) ||
        (payload.size() > CRemoteCommand::kMaxPayloadBytes && command.IsValid()))
    {
        std::fprintf(stderr, "inconsistent command\n");
        std::abort();
    }
    std::string json;
    CJsonWriter::AppendEscaped(json, command.Error);
    for (unsigned char c : json)
    {
        if (c < 0x20)
        {
            std::fprintf(stderr, "control character in JSON text\n");
            std::abort();
        }
    }
    return 0;
}
