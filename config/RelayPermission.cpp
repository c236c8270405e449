#include "RelayPermission.h"

#include <array>

namespace
{
// Index is the value; the settings file and the relay editor share these texts.
constexpr std::array<const char*, 3> kPermissionTexts = {"Both", "Cycle", "On/Off"};
}

std::string RelayPermissionToText(std::int32_t permission)
{
    if (permission < 0 || static_cast<std::size_t>(permission) >= kPermissionTexts.size())
        return {};
    return kPermissionTexts[static_cast<std::size_t>(permission)];
}

RelayPermission RelayPermissionRead(std::int32_t permission)
{
    switch (permission)
    {
    case RelayPermissionBoth: return RelayPermissionBoth;
    case RelayPermissionCycle: return RelayPermissionCycle;
    default: return RelayPermissionOnOff;
    }
}

bool RelayPermissionAllowsSwitch(std::int32_t permission)
{
    return RelayPermissionRead(permission) != RelayPermissionCycle;
}

bool RelayPermissionAllowsCycle(std::int32_t permission)
{
    return RelayPermissionRead(permission) != RelayPermissionOnOff;
}

RelayPermission RelayPermissionFromText(const std::string& text)
{
    if (text == kPermissionTexts[RelayPermissionBoth])
        return RelayPermissionBoth;
    if (text == kPermissionTexts[RelayPermissionCycle])
        return RelayPermissionCycle;
    return RelayPermissionOnOff;
}
