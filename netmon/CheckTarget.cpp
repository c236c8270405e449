#include "CheckTarget.h"

#include <algorithm>
#include <cctype>

const char* const CheckTargetForms =
    "a host name or address (example.net, 192.0.2.10), tcp://host:port (tcp://192.0.2.10:22) "
    "or http(s)://[user:password@]host[:port][/path][#status=any][&sha256=fingerprint] "
    "(http://192.0.2.10:8080/status)";

namespace
{
// Letters, digits, dots, hyphens and underscores: names and dotted addresses, nothing a
// resolver or a URL parser could read as something else. A pinged name may also carry
// UTF-8 letters, which the resolver has always been handed as they stand.
bool IsHostText(const std::string& host, bool utf8 = false)
{
    if (host.empty() || host.size() > 253)
        return false;
    return std::all_of(host.begin(), host.end(), [utf8](char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) != 0 || c == '.' || c == '-' || c == '_' || (utf8 && u >= 0x80);
    });
}

// 1-65535 in decimal, nothing else.
int PortOf(const std::string& text)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535 ? port : 0;
}

bool IsPrintableAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F;
    });
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// %XX escapes decoded; false for a broken escape.
bool PercentDecode(const std::string& text, std::string& decoded)
{
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '%')
        {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
            return false;
        decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return true;
}

// 64 hex digits, or 32 pairs separated by colons as certificate tools print them.
bool FingerprintOf(const std::string& text, std::string& fingerprint)
{
    std::string digits;
    const bool colons = text.find(':') != std::string::npos;
    if (colons && text.size() != 32 * 3 - 1)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (colons && i % 3 == 2)
        {
            if (text[i] != ':')
                return false;
            continue;
        }
        if (HexValue(text[i]) < 0)
            return false;
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
    if (digits.size() != 64)
        return false;
    fingerprint = digits;
    return true;
}

CheckTarget Refused(std::string why)
{
    CheckTarget target;
    target.Problem = std::move(why);
    return target;
}

// What follows '#': options joined by '&', each at most once.
bool ReadOptions(const std::string& options, bool https, CheckTarget& target)
{
    if (options.empty())
    {
        target.Problem = "nothing follows #; write #status=any or #sha256=<fingerprint>";
        return false;
    }
    std::size_t start = 0;
    while (start <= options.size())
    {
        const std::size_t end = std::min(options.find('&', start), options.size());
        const std::string option = options.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = option.find('=');
        const std::string key = option.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
        if (key == "status")
        {
            if (target.AnyStatus)
            {
                target.Problem = "status= is given twice";
                return false;
            }
            if (value != "any")
            {
                target.Problem = "status= takes only any (any HTTP status means alive)";
                return false;
            }
            target.AnyStatus = true;
        }
        else if (key == "sha256")
        {
            if (!https)
            {
                target.Problem = "a pinned certificate (sha256=) needs https://";
                return false;
            }
            if (!target.Fingerprint.empty())
            {
                target.Problem = "sha256= is given twice";
                return false;
            }
            if (!FingerprintOf(value, target.Fingerprint))
            {
                target.Problem = "sha256= takes the certificate's SHA-256 fingerprint: 64 hex digits, colons allowed";
                return false;
            }
        }
        else
        {
            target.Problem = "unknown option \"" + option + "\" after #; known: status=any, sha256=<fingerprint>";
            return false;
        }
    }
    return true;
}

CheckTarget ParseTcp(const std::string& rest)
{
    if (rest.find('@') != std::string::npos)
        return Refused("only http:// and https:// take user:password@");
    if (rest.find_first_of("/?#") != std::string::npos)
        return Refused("tcp://host:port takes nothing after the port");
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return Refused("tcp:// needs host:port");
    CheckTarget target;
    target.Host = rest.substr(0, colon);
    target.Port = PortOf(rest.substr(colon + 1));
    if (!IsHostText(target.Host))
        return Refused("the host is not a host name or IPv4 address");
    if (target.Port == 0)
        return Refused("the port is not a number from 1 to 65535");
    target.Kind = CheckKind::Tcp;
    return target;
}

CheckTarget ParseHttp(const std::string& scheme, const std::string& rest)
{
    const bool https = scheme == "https";
    const std::size_t hash = rest.find('#');
    const std::string beforeHash = rest.substr(0, hash);
    const std::size_t end = beforeHash.find_first_of("/?");
    std::string authority = beforeHash.substr(0, end);
    const std::string path = end == std::string::npos ? std::string() : beforeHash.substr(end);

    CheckTarget target;
    const std::size_t at = authority.find('@');
    if (at != std::string::npos)
    {
        if (authority.find('@', at + 1) != std::string::npos)
            return Refused("more than one @ before the host; write an @ in a user or password as %40");
        const std::string userInfo = authority.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        if (colon == std::string::npos)
            return Refused("user@ without a password; write user:password@");
        if (colon == 0 || !PercentDecode(userInfo.substr(0, colon), target.User) ||
            !PercentDecode(userInfo.substr(colon + 1), target.Password))
            return Refused("the user:password@ part is not a user name, a colon and a password (%XX escapes allowed)");
        authority = authority.substr(at + 1);
    }
    if (!authority.empty() && authority[0] == '[')
        return Refused("IPv6 addresses are not checked; give an IPv4 address or a name");
    const std::size_t colon = authority.find(':');
    target.Host = authority.substr(0, colon);
    target.Port = colon == std::string::npos ? (https ? 443 : 80) : PortOf(authority.substr(colon + 1));
    if (!IsHostText(target.Host))
        return Refused("the host is not a host name or IPv4 address");
    if (target.Port == 0)
        return Refused("the port is not a number from 1 to 65535");
    if (hash != std::string::npos && !ReadOptions(rest.substr(hash + 1), https, target))
        return Refused(target.Problem);
    target.Kind = https ? CheckKind::Https : CheckKind::Http;
    target.Url = scheme + "://" + authority + path;
    return target;
}
}

CheckTarget ParseCheckTarget(const std::string& text)
{
    if (text.empty())
        return Refused("the target is empty");
    if (std::isspace(static_cast<unsigned char>(text.front())) != 0 ||
        std::isspace(static_cast<unsigned char>(text.back())) != 0)
        return Refused("the target begins or ends with a space");
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos)
    {
        CheckTarget target;
        if (!IsHostText(text, true))
            return Refused(text.find_first_of(" \t") != std::string::npos
                               ? "a host name holds no space"
                               : "not a host name or IPv4 address, tcp://, http:// or https://");
        target.Kind = CheckKind::Ping;
        target.Host = text;
        return target;
    }
    if (!IsPrintableAscii(text))
        return Refused("a URL holds no space or character outside ASCII; write them as %XX");
    std::string scheme = text.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    const std::string rest = text.substr(schemeEnd + 3);
    if (scheme == "tcp")
        return ParseTcp(rest);
    if (scheme == "http" || scheme == "https")
        return ParseHttp(scheme, rest);
    return Refused(scheme + ":// is no check; use a host name, tcp://, http:// or https://");
}

std::string MaskCredentials(const std::string& text)
{
    std::string masked;
    std::size_t from = 0;
    for (;;)
    {
        const std::size_t scheme = text.find("://", from);
        if (scheme == std::string::npos)
            break;
        const std::size_t start = scheme + 3;
        // The authority ends where a path, query, fragment, quote, tag or blank begins.
        const std::size_t end = std::min(text.find_first_of("/?#<>\"' \t\r\n", start), text.size());
        const std::size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
        const std::size_t colon = text.find(':', start);
        masked += text.substr(from, start - from);
        if (at != std::string::npos && at >= start && at < end && colon < at)
        {
            masked += text.substr(start, colon + 1 - start) + "***";
            from = at;
        }
        else
            from = start;
    }
    return masked + text.substr(from);
}

const char* CheckKindName(CheckKind kind)
{
    switch (kind)
    {
    case CheckKind::Ping:
        return "ping";
    case CheckKind::Tcp:
        return "tcp";
    case CheckKind::Http:
        return "http";
    case CheckKind::Https:
        return "https";
    case CheckKind::Invalid:
        break;
    }
    return "invalid";
}
