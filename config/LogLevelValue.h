#pragma once

#include <cstdint>
#include <string>

// Detail of the event log; decides whether the link produces trace lines.
enum LogLevelValue : std::int32_t
{
    LogLevelEventsAndErrors = 0,   // "Events & Errors"
    LogLevelDebug = 1,             // "Debug"
};

// Table lookup; a value outside the table has the empty text.
std::string LogLevelValueToText(std::int32_t level);
// Exact, case-sensitive; any text other than "Debug" reads as "Events & Errors".
LogLevelValue LogLevelValueFromText(const std::string& text);
