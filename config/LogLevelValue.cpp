#include "LogLevelValue.h"

#include <array>

namespace
{
constexpr std::array<const char*, 2> kLogLevelTexts = {"Events & Errors", "Debug"};
}

std::string LogLevelValueToText(std::int32_t level)
{
    if (level < 0 || static_cast<std::size_t>(level) >= kLogLevelTexts.size())
        return {};
    return kLogLevelTexts[static_cast<std::size_t>(level)];
}

LogLevelValue LogLevelValueFromText(const std::string& text)
{
    return text == kLogLevelTexts[LogLevelDebug] ? LogLevelDebug : LogLevelEventsAndErrors;
}
