#include "CommandCodes.h"

std::string GetCommandName(int code)
{
    switch (code)
    {
    case 1: return "Relay Status";
    case 2: return "Unsolicited responses";
    case 3: return "Unsolicited status";
    case 4: return "Uptime";
    case 5: return "Relay test cycle";
    case 6: return "Date & Time";
    case 7: return "GPS";
    case 8: return "GSM status";
    case 9: return "Relay toggle";
    case 10: return "RSSI";
    case 11: return "Reset";
    case 12: return "Tamper status";
    case 13: return "Tamper unsolicited";
    case 15: return "Radio capability";
    case 85:
    case 255: return "Request Upgrade";
    default: return "Power";
    }
}
