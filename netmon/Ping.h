#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/StopSignal.h"

// Results of Ping; callers only tell 0 from the rest.
inline constexpr int PingAnswered = 0;
inline constexpr int PingNotResolved = -1;
inline constexpr int PingNoSocket = -2;
inline constexpr int PingNoAnswer = -3;
// The check was called off (shutdown, restart): nothing is known of the host.
inline constexpr int PingStopped = -4;

struct PingTiming
{
    int Tries = 3;
    int ReplyTimeoutMs = 2000;
    int PauseAfterFailureMs = 200;
};

// Lets the owner of ping threads end their checks at once (shutdown must not wait for a
// resolver that never answers, nor for echoes to an unreachable host). A thread picks its
// stop up with SetThreadPingCancellation before it pings.
void SetThreadPingCancellation(std::shared_ptr<CStopSignal> cancellation);

// One ICMP echo check of an IPv4 host name or dotted address. The name lookup ends within
// Tries * (ReplyTimeoutMs + PauseAfterFailureMs) (a lookup still running then is left to
// finish on its own and counts as not resolved); the echoes take up to as long again. Any
// number of lookups run at once; only while 16 abandoned ones still run does a new one wait
// for its turn, within the same budget. Runs on
// a ping thread, never on the UI thread; a cancelled check returns at once with PingStopped.
int Ping(const std::string& host);
// Same check with other timing; only tests shorten it.
int Ping(const std::string& host, const PingTiming& timing);

// What the other checks share with the ping: the same cancellation, the same bounded lookup.
struct sockaddr_in;
// True once the calling thread's check was abandoned.
bool IsCheckCancelled();
// The calling thread's cancellation descriptor (readable once cancelled), or -1.
int CheckCancelDescriptor();
// Waits for events on fd, the cancellation or the time: 1 ready, 0 time up, -1 cancelled or
// failed. fd -1 just waits, cancellably.
int WaitForDescriptor(int fd, short events, int timeoutMs);
// An IPv4 lookup that gives up after budgetMs (or at cancellation) like the ping's.
bool ResolveIPv4(const std::string& host, sockaddr_in& address, int budgetMs);
