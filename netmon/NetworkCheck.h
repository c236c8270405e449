#pragma once

#include "CheckOutcome.h"

// One check of a parsed target of any kind; an invalid one fails without running. The kinds
// sit below this chooser and never include it.
CheckOutcome RunCheck(const CheckTarget& target, const PingTiming& timing);
