#include "MonitorAction.h"

#include <array>
#include <cstddef>

namespace
{
// Index = value; the texts are shown in the editor and stored in the settings file.
const std::array<const char*, 3> ActionTexts = {
    "Do nothing",
    "Cycle power",
    "Cycle power every",
};
}

std::string MonitorActionToText(std::int32_t action)
{
    if (action < 0 || static_cast<std::size_t>(action) >= ActionTexts.size())
        return {};
    return ActionTexts[static_cast<std::size_t>(action)];
}

MonitorAction MonitorActionFromText(const std::string& text)
{
    if (text == ActionTexts[MonitorActionDoNothing])
        return MonitorActionDoNothing;
    if (text == ActionTexts[MonitorActionCyclePower])
        return MonitorActionCyclePower;
    // Anything else, a hand-edited or mistyped file included, means the third action.
    return MonitorActionCyclePowerEvery;
}
