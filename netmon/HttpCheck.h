#pragma once

#include "CheckOutcome.h"

// One GET of target.Url per try, answered by its status line: a try ends when the final
// status's headers have arrived (the body is never awaited), within the reply time-out. A
// status 200-399 is success, any status with "#status=any". Redirects are not followed, no
// proxy is taken from the environment. Certificates are verified against the system store,
// or, with "#sha256=", only by the device's certificate having that SHA-256 fingerprint
// (checked in the handshake, before anything is sent). user:password@ goes as basic
// authentication. The name is looked up like the ping's and handed to the transfer, so the
// transfer itself never waits for a resolver.
CheckOutcome HttpCheck(const CheckTarget& target, const PingTiming& timing);
