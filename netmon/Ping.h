#pragma once

#include <cstdint>
#include <string>

// Results of Ping; callers only tell 0 from the rest.
inline constexpr int PingAnswered = 0;
inline constexpr int PingNotResolved = -1;
inline constexpr int PingNoSocket = -2;
inline constexpr int PingNoAnswer = -3;

struct PingTiming
{
    int Tries = 3;
    int ReplyTimeoutMs = 2000;
    int PauseAfterFailureMs = 200;
};

// One ICMP echo check of an IPv4 host name or dotted address. Blocks for up to
// Tries * (ReplyTimeoutMs + PauseAfterFailureMs) after name resolution, so it runs on a
// ping thread, never on the UI thread.
int Ping(const std::string& host);
// Same check with other timing; only tests shorten it.
int Ping(const std::string& host, const PingTiming& timing);
