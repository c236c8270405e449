#pragma once

#include <string>

#include "CheckTarget.h"
#include "Ping.h"

// What every check kind shares: the verdict, the failure texts and the shape of the tries.
// The kinds (ping, TcpCheck, HttpCheck) include this; NetworkCheck, which chooses among them,
// sits above them all.

// What one check found. A check abandoned by the thread's cancellation has no verdict and
// must not be counted either way.
struct CheckOutcome
{
    bool Succeeded = false;
    bool Abandoned = false;
    std::string Reason;   // why it failed, for the Debug trace and the broker
};

// "no answer within 2 s" for the usual timing.
std::string NoAnswerReason(const PingTiming& timing);
// The shared shape of every check: tries, a pause after each failure, any success wins.
// tryOnce runs one try and returns true on success, setting reason otherwise.
template <typename Try>
CheckOutcome RunTries(const PingTiming& timing, Try tryOnce)
{
    CheckOutcome outcome;
    for (int attempt = 0; attempt < timing.Tries; ++attempt)
    {
        if (IsCheckCancelled())
            break;
        if (tryOnce(outcome.Reason))
        {
            outcome.Succeeded = true;
            outcome.Reason.clear();
            return outcome;
        }
        if (IsCheckCancelled() || WaitForDescriptor(-1, 0, timing.PauseAfterFailureMs) < 0)
            break;
    }
    outcome.Abandoned = IsCheckCancelled();
    return outcome;
}

// The outcome of a Ping result; abandoned when the stop called the ping off.
CheckOutcome PingOutcome(int result, const PingTiming& timing);
