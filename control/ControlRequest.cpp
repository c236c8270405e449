#include "ControlRequest.h"

#include <charconv>
#include <vector>

namespace
{
using Kind = CControlRequest::Kind;

bool IsPrintable(std::string_view text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size())
    {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ')
            ++at;
        if (at > start)
            words.push_back(line.substr(start, at - start));
    }
    return words;
}

// A decimal number from `low` to `high`, nothing else.
bool ReadNumber(std::string_view word, int low, int high, int& value)
{
    int number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    if (error != std::errc() || end != word.data() + word.size() || number < low || number > high)
        return false;
    value = number;
    return true;
}

CControlRequest Refused(std::string why)
{
    CControlRequest request;
    request.Error = std::move(why);
    return request;
}

std::string Quoted(std::string_view word)
{
    constexpr std::size_t kShown = 24;
    return "'" + std::string(word.substr(0, kShown)) + (word.size() > kShown ? "...'" : "'");
}

// The "wait=S" a unit command may end with.
bool ReadWait(const std::vector<std::string_view>& words, std::size_t from, CControlRequest& request)
{
    if (words.size() == from)
        return true;
    constexpr std::string_view prefix = "wait=";
    if (words.size() != from + 1 || words[from].substr(0, prefix.size()) != prefix ||
        !ReadNumber(words[from].substr(prefix.size()), 1, CControlRequest::kMaxWaitSeconds, request.WaitSeconds))
    {
        request = Refused("expected nothing or wait=1.." + std::to_string(CControlRequest::kMaxWaitSeconds) +
                          " after the command");
        return false;
    }
    return true;
}
}

CControlRequest ParseControlRequest(std::string_view line)
{
    if (line.size() >= CControlRequest::kMaxBytes)
        return Refused("request longer than " + std::to_string(CControlRequest::kMaxBytes - 1) + " bytes");
    if (!IsPrintable(line))
        return Refused("request holds a byte that is not printable ASCII");
    const std::vector<std::string_view> words = Words(line);
    if (words.empty())
        return Refused("empty request");

    CControlRequest request;
    const std::string_view verb = words[0];
    if (verb == "status" || verb == "monitors")
    {
        request.What = verb == "status" ? Kind::Status : Kind::Monitors;
        if (words.size() == 2 && words[1] == "json")
            request.Json = true;
        else if (words.size() != 1)
            return Refused(std::string(verb) + " takes nothing or 'json'");
        return request;
    }
    if (verb == "relay")
    {
        if (words.size() < 3 ||
            !ReadNumber(words[1], CControlRequest::kFirstRelay, CControlRequest::kLastRelay, request.Relay))
            return Refused("usage: relay 1-4 on|off|cycle");
        if (words[2] == "on")
            request.What = Kind::RelayOn;
        else if (words[2] == "off")
            request.What = Kind::RelayOff;
        else if (words[2] == "cycle")
            request.What = Kind::RelayCycle;
        else
            return Refused("relay " + std::to_string(request.Relay) + ": " + Quoted(words[2]) +
                           " is not on, off or cycle");
        ReadWait(words, 3, request);
        return request;
    }
    if (verb == "reset" || verb == "poll")
    {
        request.What = verb == "reset" ? Kind::Reset : Kind::Poll;
        ReadWait(words, 1, request);
        return request;
    }
    if (verb == "log")
    {
        request.What = Kind::Log;
        bool counted = false;
        for (std::size_t i = 1; i < words.size(); ++i)
        {
            if (words[i] == "follow" && !request.Follow)
                request.Follow = true;
            else if (counted || !ReadNumber(words[i], 0, CControlRequest::kMaxLogLines, request.Lines))
                return Refused("log takes a line count 0.." + std::to_string(CControlRequest::kMaxLogLines) +
                               " and 'follow'");
            else
                counted = true;
        }
        return request;
    }
    if (verb == "reload")
    {
        if (words.size() != 1)
            return Refused("reload takes nothing");
        request.What = Kind::Reload;
        return request;
    }
    return Refused("unknown request " + Quoted(verb));
}
