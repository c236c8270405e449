#pragma once

#include <cstdint>
#include <string>

// Which operations the status page offers for a relay.
enum RelayPermission : std::int32_t
{
    RelayPermissionBoth = 0,    // "Both": switched on and off, and power-cycled
    RelayPermissionCycle = 1,   // "Cycle": power-cycled only
    RelayPermissionOnOff = 2,   // "On/Off": switched on and off only
};

// Table lookup; a value outside the table has the empty text.
std::string RelayPermissionToText(std::int32_t permission);
// How every part of the program reads a stored permission: a value outside the table reads as
// "On/Off", as the settings file reads a text it does not know.
RelayPermission RelayPermissionRead(std::int32_t permission);
// Whether the relay may be switched on and off, or power-cycled, by anyone.
bool RelayPermissionAllowsSwitch(std::int32_t permission);
bool RelayPermissionAllowsCycle(std::int32_t permission);
// Exact, case-sensitive; any text other than "Both" and "Cycle" reads as "On/Off".
RelayPermission RelayPermissionFromText(const std::string& text);
