#pragma once

#include <string>

#include "protocol/StatusCodes.h"

// The texts a failure is told in, shared by the log, the status line, the service's status
// and the broker so that all of them name the same thing the same way.

// What failed: "RSSI command <reason>", or for a port that did not open (type 0)
// "COM7: <reason>".
std::string FailureText(int type, LinkStatus status, int portNumber);
// The log's line for a failure, word for word: "Error for " and FailureText.
std::string FailureLine(int type, LinkStatus status, int portNumber);
// What a monitor that reached its failure threshold says, in the log and in the window: the
// host, and the power cycle while one is still due.
std::string MonitorFailureText(const std::string& target, int action, int relay, int limit, int count);
