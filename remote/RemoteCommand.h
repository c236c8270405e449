#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// One command an operator sent through the broker, read from the topic below the site's
// base topic and the payload. Parsing decides only what was asked; whether the relay's
// permission allows it is the bridge's business.
struct CRemoteCommand
{
    enum class Kind
    {
        None,
        RelayOn,
        RelayOff,
        RelayCycle,
        Reset,
        Poll,
    };

    static constexpr std::size_t kMaxPayloadBytes = 256;
    static constexpr int kFirstRelay = 1;
    static constexpr int kLastRelay = 4;

    Kind What = Kind::None;
    int Relay = 0;         // 1 to 4 for the relay commands
    std::string Error;     // why What is None

    bool IsValid() const { return What != Kind::None; }
};

// subtopic: the topic without "<prefix>/<site>/", e.g. "relay/2/set". Payload words are
// read without regard to case; anything else is refused with a reason.
CRemoteCommand ParseRemoteCommand(std::string_view subtopic, std::string_view payload);

// A topic level made from free text (a monitor's event name). Each byte that a topic filter
// treats specially ('/', '+', '#'), '%' itself, a control character (C1 included), a blank at
// either end, each byte that is not part of well-formed UTF-8 (a lone surrogate included) and
// each byte of a non-character becomes '%' and two upper-case hex digits; everything else
// stays. So the form is the same at every start, always a level a broker takes, and two
// different names never share one. An empty name is "%". *standIn, when given, says whether
// the name held characters no topic can carry at all (the control characters, bytes and
// non-characters), so that the level stands in for it rather than spelling it.
std::string TopicLevel(std::string_view text, bool* standIn = nullptr);
// A Home Assistant object id made from free text: letters and digits stay, every other byte
// becomes '_' and two lower-case hex digits. Different texts never share one.
std::string ObjectId(std::string_view text);
