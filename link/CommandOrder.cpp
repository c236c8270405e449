#include "CommandOrder.h"

#include <algorithm>

#include "protocol/CommandCodes.h"

namespace CommandOrder
{
bool IsOrder(int code)
{
    return code == CommandCode::RelayToggle || code == CommandCode::RelayTestCycle || code == CommandCode::Reset;
}

bool SameIntent(const CSerialCommand& older, const CSerialCommand& newer)
{
    // A probe is the one thing sent while the rest is held: a held question must not take its place.
    if (older.Code != newer.Code || older.Probe != newer.Probe)
        return false;
    switch (newer.Code)
    {
    case CommandCode::RelayTestCycle:
    case CommandCode::RelayToggle:
        return older.Param1 == newer.Param1;
    case CommandCode::RequestUpgrade:
    case CommandCode::FirmwareTransfer:
        return false;
    default:
        return true;
    }
}

std::size_t Next(const Queue& queue, bool held)
{
    if (queue.empty())
        return kNone;
    if (held)
    {
        // A firmware transfer is not held: the operator watches its dialog, which a failure
        // closes with its reason, while a held transfer would leave it waiting for good.
        for (std::size_t n = queue.size(); n-- > 0;)
        {
            const CSerialCommand& command = *queue[n];
            if (command.Probe || command.Code == CommandCode::RequestUpgrade ||
                command.Code == CommandCode::FirmwareTransfer)
                return n;
        }
        return kNone;
    }
    const auto reset = std::find_if(queue.begin(), queue.end(),
                                    [](const auto& queued) { return queued->Code == CommandCode::Reset; });
    if (reset == queue.end())
        return queue.size() - 1;
    const auto at = static_cast<std::size_t>(reset - queue.begin());
    for (std::size_t n = at; n-- > 0;)
    {
        if (IsOrder(queue[n]->Code))
            return n;
    }
    return at;
}
}
