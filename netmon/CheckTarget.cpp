#include "CheckTarget.h"

#include <algorithm>
#include <cctype>

const char* const CheckTargetForms =
    "a host name or address (example.net, 192.0.2.10), tcp://host:port (tcp://192.0.2.10:22) "
    "or http(s)://host[:port][/path] (http://192.0.2.10:8080/status)";

namespace
{
bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char p, char t) { return std::tolower(static_cast<unsigned char>(t)) == p; });
}

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

bool IsUrlRestText(const std::string& rest)
{
    return std::all_of(rest.begin(), rest.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F;
    });
}
}

CheckTarget ParseCheckTarget(const std::string& text)
{
    CheckTarget target;
    if (StartsWithNoCase(text, "tcp://"))
    {
        const std::string rest = text.substr(6);
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return target;
        target.Host = rest.substr(0, colon);
        target.Port = PortOf(rest.substr(colon + 1));
        if (IsHostText(target.Host) && target.Port != 0)
            target.Kind = CheckKind::Tcp;
        return target;
    }
    const bool https = StartsWithNoCase(text, "https://");
    if (https || StartsWithNoCase(text, "http://"))
    {
        const std::string rest = text.substr(https ? 8 : 7);
        const std::size_t end = rest.find_first_of("/?#");
        const std::string authority = rest.substr(0, end);
        const std::size_t colon = authority.find(':');
        target.Host = authority.substr(0, colon);
        target.Port = colon == std::string::npos ? (https ? 443 : 80) : PortOf(authority.substr(colon + 1));
        if (IsHostText(target.Host) && target.Port != 0 && IsUrlRestText(rest))
        {
            target.Kind = https ? CheckKind::Https : CheckKind::Http;
            target.Url = text;
        }
        return target;
    }
    if (IsHostText(text, true))
    {
        target.Kind = CheckKind::Ping;
        target.Host = text;
    }
    return target;
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
