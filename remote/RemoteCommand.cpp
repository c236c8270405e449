#include "RemoteCommand.h"

namespace
{
bool SameWord(std::string_view text, std::string_view word)
{
    if (text.size() != word.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i])
            return false;
    }
    return true;
}

std::string Shown(std::string_view text)
{
    std::string shown;
    for (char c : text.substr(0, 32))
        shown += (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) ? '?' : c;
    return "\"" + shown + (text.size() > 32 ? "...\"" : "\"");
}

CRemoteCommand Refused(std::string reason)
{
    CRemoteCommand command;
    command.Error = std::move(reason);
    return command;
}
}

CRemoteCommand ParseRemoteCommand(std::string_view subtopic, std::string_view payload)
{
    if (payload.size() > CRemoteCommand::kMaxPayloadBytes)
        return Refused("payload of " + std::to_string(payload.size()) + " bytes on " + Shown(subtopic) +
                       " is over " + std::to_string(CRemoteCommand::kMaxPayloadBytes));

    CRemoteCommand command;
    if (subtopic == "reset")
    {
        if (!SameWord(payload, "RESET"))
            return Refused("reset needs the payload RESET, not " + Shown(payload));
        command.What = CRemoteCommand::Kind::Reset;
        return command;
    }
    if (subtopic == "poll")
    {
        if (!payload.empty() && !SameWord(payload, "POLL"))
            return Refused("poll takes no payload or POLL, not " + Shown(payload));
        command.What = CRemoteCommand::Kind::Poll;
        return command;
    }

    constexpr std::string_view relayPrefix = "relay/";
    constexpr std::string_view setSuffix = "/set";
    if (subtopic.size() == relayPrefix.size() + 1 + setSuffix.size() && subtopic.starts_with(relayPrefix) &&
        subtopic.ends_with(setSuffix))
    {
        const char digit = subtopic[relayPrefix.size()];
        const int relay = digit - '0';
        if (digit < '0' || digit > '9' || relay < CRemoteCommand::kFirstRelay || relay > CRemoteCommand::kLastRelay)
            return Refused("no relay " + Shown(subtopic.substr(relayPrefix.size(), 1)) + " (relays are 1 to 4)");
        command.Relay = relay;
        if (SameWord(payload, "ON"))
            command.What = CRemoteCommand::Kind::RelayOn;
        else if (SameWord(payload, "OFF"))
            command.What = CRemoteCommand::Kind::RelayOff;
        else if (SameWord(payload, "CYCLE"))
            command.What = CRemoteCommand::Kind::RelayCycle;
        else
            return Refused("relay " + std::to_string(relay) + " takes ON, OFF or CYCLE, not " + Shown(payload));
        return command;
    }
    if (subtopic.size() > relayPrefix.size() + setSuffix.size() && subtopic.starts_with(relayPrefix) &&
        subtopic.ends_with(setSuffix))
        return Refused("no relay " + Shown(subtopic.substr(relayPrefix.size(),
                                                           subtopic.size() - relayPrefix.size() - setSuffix.size())) +
                       " (relays are 1 to 4)");
    return Refused("unknown topic " + Shown(subtopic));
}

std::string TopicLevel(std::string_view text)
{
    std::string level;
    for (char c : text)
        level += (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '_' : c;
    return level.empty() ? std::string("_") : level;
}
