#pragma once

#include <string>

// How a monitor checks its target; the target text alone decides, so the settings document
// keeps its form.
enum class CheckKind
{
    Ping,    // a host name or dotted address
    Tcp,     // tcp://host:port
    Http,    // http://host[:port][/path]
    Https,   // https://host[:port][/path]
    Invalid  // anything else: never checked, never cycles a relay
};

struct CheckTarget
{
    CheckKind Kind = CheckKind::Invalid;
    std::string Host;
    int Port = 0;      // 0 for a ping
    std::string Url;   // the text as written, for HTTP(S)
};

CheckTarget ParseCheckTarget(const std::string& text);
// "ping", "tcp", "http", "https" or "invalid", as the broker shows it.
const char* CheckKindName(CheckKind kind);
// The three accepted forms with examples, for a tooltip or an error line.
extern const char* const CheckTargetForms;
