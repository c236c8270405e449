#include "FailureText.h"

#include "netmon/MonitorAction.h"
#include "protocol/CommandCodes.h"

std::string FailureText(int type, LinkStatus status, int portNumber)
{
    // An open failure comes with no command (type 0): it is the port's, not a command's.
    if (status == LinkStatus::OpenFailed && type == 0)
        return "COM" + std::to_string(portNumber) + ": " + GetErrorText(status);
    return GetCommandName(type) + " command " + GetErrorText(status);
}

std::string FailureLine(int type, LinkStatus status, int portNumber)
{
    return "Error for " + FailureText(type, status, portNumber);
}

std::string MonitorFailureText(const std::string& target, int action, int relay, int limit, int count)
{
    std::string text = "Network monitor unable to communicate with " + target + " ";
    if (action != MonitorActionDoNothing && count < limit)
        text += "power cycle on Relay " + std::to_string(relay);
    return text;
}
