#pragma once

#include "CheckOutcome.h"

// One GET of target.Url per try: a status 200-399 is success; redirects are not followed,
// certificates are verified against the system store, no proxy is taken from the
// environment. The name is looked up like the ping's and handed to the transfer, so the
// transfer itself never waits for a resolver.
CheckOutcome HttpCheck(const CheckTarget& target, const PingTiming& timing);
