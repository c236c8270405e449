#pragma once

#include <cstdint>
#include <string>

// What reaching a monitor's failure threshold does.
enum MonitorAction : std::int32_t
{
    MonitorActionDoNothing = 0,        // "Do nothing"
    MonitorActionCyclePower = 1,       // "Cycle power"
    MonitorActionCyclePowerEvery = 2,  // "Cycle power every"
};

// Table lookup; a value outside the table (a negative one included) has the empty text.
std::string MonitorActionToText(std::int32_t action);
// Exact, case-sensitive; any text other than the first two reads as "Cycle power every".
MonitorAction MonitorActionFromText(const std::string& text);
