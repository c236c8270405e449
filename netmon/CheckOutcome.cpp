#include "CheckOutcome.h"

std::string NoAnswerReason(const PingTiming& timing)
{
    if (timing.ReplyTimeoutMs % 1000 == 0)
        return "no answer within " + std::to_string(timing.ReplyTimeoutMs / 1000) + " s";
    return "no answer within " + std::to_string(timing.ReplyTimeoutMs) + " ms";
}

CheckOutcome PingOutcome(int result, const PingTiming& timing)
{
    CheckOutcome outcome;
    outcome.Succeeded = result == PingAnswered;
    if (result == PingNotResolved)
        outcome.Reason = "name not resolved";
    else if (result == PingNoSocket)
        outcome.Reason = "no ICMP socket";
    else if (result != PingAnswered)
        outcome.Reason = NoAnswerReason(timing);
    // A ping the stop called off says nothing about the host.
    outcome.Abandoned = result == PingStopped;
    return outcome;
}
