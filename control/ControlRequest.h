#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// One request on the control socket: a single line of printable ASCII words, as
// quillmere-monitorctl sends it ("relay 3 off wait=10"). Parsing decides only what was
// asked; who may ask it and whether the relay's permission allows it is the server's business.
struct CControlRequest
{
    enum class Kind
    {
        None,
        Status,
        Monitors,
        RelayOn,
        RelayOff,
        RelayCycle,
        Reset,
        Poll,
        Log,
        Reload,
    };

    // A whole request, line break included; a longer one is refused unread.
    static constexpr std::size_t kMaxBytes = 128;
    static constexpr int kFirstRelay = 1;
    static constexpr int kLastRelay = 4;
    static constexpr int kDefaultWaitSeconds = 15;
    static constexpr int kMaxWaitSeconds = 120;
    static constexpr int kDefaultLogLines = 20;
    static constexpr int kMaxLogLines = 1000;

    Kind What = Kind::None;
    int Relay = 0;          // 1 to 4 for the relay commands
    bool Json = false;      // status, monitors
    bool Follow = false;    // log
    int Lines = kDefaultLogLines;               // log
    int WaitSeconds = kDefaultWaitSeconds;      // relay, reset, poll: how long to wait for the unit
    std::string Error;      // why What is None

    bool IsValid() const { return What != Kind::None; }
    // Orders and questions that go to the unit, and wait for its answer.
    bool IsUnitCommand() const
    {
        return What == Kind::RelayOn || What == Kind::RelayOff || What == Kind::RelayCycle || What == Kind::Reset ||
               What == Kind::Poll;
    }
};

// line: the request without its line break. Anything not understood is refused with a
// reason that quotes at most a short, printable part of it.
CControlRequest ParseControlRequest(std::string_view line);
