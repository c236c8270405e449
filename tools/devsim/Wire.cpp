#include "Wire.h"

namespace wire
{
std::uint8_t Checksum(std::uint8_t code, const Bytes& payload)
{
    std::uint8_t sum = static_cast<std::uint8_t>(code ^ static_cast<std::uint8_t>(payload.size()));
    for (std::uint8_t b : payload)
        sum ^= b;
    return sum;
}

Bytes BuildFrame(std::uint8_t code, const Bytes& payload)
{
    Bytes body(payload.begin(), payload.size() > 255 ? payload.begin() + 255 : payload.end());
    // Reserved first: growing a three-byte vector by insert trips a false -Warray-bounds in GCC 12.
    Bytes frame;
    frame.reserve(body.size() + 5);
    frame.push_back(kStart);
    frame.push_back(code);
    frame.push_back(static_cast<std::uint8_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(Checksum(code, body));
    frame.push_back(kEnd);
    return frame;
}

std::string ToHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes)
    {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}
}  // namespace wire
