#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "protocol/SerialCommand.h"

// The link queue's policy, apart from its locking and its worker: which queued command a newer
// one makes pointless, and which goes out next.
namespace CommandOrder
{
using Queue = std::vector<std::unique_ptr<CSerialCommand>>;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A relay switch, power cycle or reset: someone's order, with a lifetime.
bool IsOrder(int code);
// Whether a newer command makes an older queued one pointless: asking the same thing again,
// or telling the same relay something newer. Firmware stages are never merged, and a probe
// only replaces a probe.
bool SameIntent(const CSerialCommand& older, const CSerialCommand& newer);
// The index of the command to send next, kNone for none. The command queued last goes first,
// except around a reset: the orders queued before it go before it (one sent into the restart
// would be lost), then the reset, however many questions were queued after it. While held,
// only a probe or a firmware stage goes.
std::size_t Next(const Queue& queue, bool held);
}
