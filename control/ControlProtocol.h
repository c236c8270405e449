#pragma once

#include <string>
#include <vector>

// What the control socket and quillmere-monitorctl agree on. A client connects, writes one
// request line (ControlRequest.h) and reads the answer until the server closes: a first line
// "<word> <text>", where the word says how it went, then the body, if any. `log ... follow`
// keeps the connection and goes on writing lines until the client leaves.
namespace ControlReply
{
constexpr const char* kDone = "ok";          // done; the body holds what was asked
constexpr const char* kRefused = "refused";  // not allowed (who asks, the relay's permission, pace)
constexpr const char* kUsage = "usage";      // the request was not understood
constexpr const char* kNoAnswer = "noanswer";   // sent, but the unit did not answer in time
}

// The client's exit statuses, which scripts may rely on.
namespace ControlExit
{
constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kNotRunning = 3;
constexpr int kNoAnswer = 4;
}

// The group whose members may use the service's socket; the package makes it.
inline constexpr const char* kControlGroup = "quillmere";
// The socket's name inside its folder.
inline constexpr const char* kControlSocketName = "control";

// The service's socket: in the first folder of $RUNTIME_DIRECTORY (RuntimeDirectory= of its
// unit), else in $XDG_RUNTIME_DIR/quillmere-monitord (a service started by hand); empty when
// neither is set.
std::string ServiceControlSocketPath();
// The window program's socket: $XDG_RUNTIME_DIR/quillmere-monitor; empty without that folder.
std::string WindowControlSocketPath();
// Where the client looks, in this order: the system service's, the user's service, the
// user's window program.
std::vector<std::string> ControlSocketCandidates();
