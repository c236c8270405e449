#include "NetworkCheck.h"

#include "HttpCheck.h"
#include "TcpCheck.h"

CheckOutcome RunCheck(const CheckTarget& target, const PingTiming& timing)
{
    CheckOutcome outcome;
    switch (target.Kind)
    {
    case CheckKind::Ping:
        return PingOutcome(Ping(target.Host, timing), timing);
    case CheckKind::Tcp:
        return TcpCheck(target, timing);
    case CheckKind::Http:
    case CheckKind::Https:
        return HttpCheck(target, timing);
    case CheckKind::Invalid:
        break;
    }
    outcome.Reason = "not a valid target";
    return outcome;
}
