#include "RemoteCommand.h"

#include "JsonWriter.h"

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

namespace
{
void AppendHex(std::string& out, char lead, unsigned char byte, const char* digits)
{
    out += lead;
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}
}

namespace
{
// U+FDD0 to U+FDEF and the last two code points of every plane: a broker refuses a topic
// that holds one.
bool IsNonCharacter(std::string_view sequence)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(sequence[i])); };
    unsigned codePoint = 0;
    if (sequence.size() == 3)
        codePoint = (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    else if (sequence.size() == 4)
        codePoint = (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 | (byte(3) & 0x3Fu);
    else
        return false;
    return (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFEu) == 0xFFFEu;
}
}

std::string TopicLevel(std::string_view text, bool* standIn)
{
    if (standIn != nullptr)
        *standIn = false;
    if (text.empty())
        return "%";   // no escape is a lone '%', so it stands for nothing else
    std::size_t first = 0;
    std::size_t end = text.size();
    while (first < end && text[first] == ' ')
        ++first;
    while (end > first && text[end - 1] == ' ')
        --end;
    std::string level;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80)
        {
            const std::size_t length = Utf8SequenceLength(text, i);
            const bool c1Control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
            if (length == 0 || c1Control)
            {
                AppendHex(level, '%', c, "0123456789ABCDEF");
                ++i;
                if (standIn != nullptr)
                    *standIn = true;
                continue;
            }
            if (IsNonCharacter(text.substr(i, length)))
            {
                for (std::size_t k = 0; k < length; ++k)
                    AppendHex(level, '%', static_cast<unsigned char>(text[i + k]), "0123456789ABCDEF");
                if (standIn != nullptr)
                    *standIn = true;
            }
            else
                level.append(text.substr(i, length));
            i += length;
            continue;
        }
        const bool outerBlank = c == ' ' && (i < first || i >= end);
        if ((c < 0x20 || c == 0x7F) && standIn != nullptr)
            *standIn = true;
        if (c == '/' || c == '+' || c == '#' || c == '%' || c < 0x20 || c == 0x7F || outerBlank)
            AppendHex(level, '%', c, "0123456789ABCDEF");
        else
            level += static_cast<char>(c);
        ++i;
    }
    return level;
}

std::string ObjectId(std::string_view text)
{
    std::string id;
    for (char ch : text)
    {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            id += ch;
        else
            AppendHex(id, '_', c, "0123456789abcdef");
    }
    return id;
}
