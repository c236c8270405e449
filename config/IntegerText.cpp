#include "IntegerText.h"

#include <limits>

namespace
{
// The C locale's white space, which is what atoi skips.
bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}

std::int32_t ReadInteger(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size() && IsCSpace(text[pos]))
        ++pos;

    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
    {
        negative = text[pos] == '-';
        ++pos;
    }

    // Accumulated as a magnitude in 64 bits and clamped at once, so a text of any length
    // can neither overflow nor wrap round into a small value.
    constexpr std::int64_t kLimitPositive = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kLimitNegative = -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min());
    const std::int64_t limit = negative ? kLimitNegative : kLimitPositive;
    std::int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
    {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::string WriteInteger(std::int32_t value)
{
    return std::to_string(value);
}
