#pragma once

#include "CheckOutcome.h"

// Connects to target.Host:target.Port and closes at once; the connection being accepted is
// the success.
CheckOutcome TcpCheck(const CheckTarget& target, const PingTiming& timing);
