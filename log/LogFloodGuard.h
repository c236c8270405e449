#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// Keeps a flood of one kind of line from pushing the log's history out through rotation.
// More than 20 lines of one kind within 10 s: the 20th is the last written, and while the
// flood lasts one line per 10 s says how many more were held back.
//
// A kind is one of the lines a unit can send without being asked, or that repeat with it:
// every relay state change (all relays together), every door (cover) change, and the
// errors of one command, and the commands a remote operator sent or had refused. Normal operation stays far below the limit: a power cycle of all
// four relays is eight relay lines, a poll fails each command at most once, and polls are
// minutes apart. Every other line (start and end, settings, monitors, operator commands,
// the link's debug traces) is never held back.
class CLogFloodGuard
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kLinesPerWindow = 20;
    static constexpr std::chrono::seconds kWindow{10};

    struct Line
    {
        int level;
        std::string text;
    };

    // The kind a line belongs to, or an empty text for lines that are never held back.
    static std::string KindOf(int level, const std::string& text);

    // Whether the line is to be written. Summaries that have come due, of this kind or any
    // other, are appended to `due` first; they go before the line.
    bool Admit(int level, const std::string& text, Clock::time_point now, std::vector<Line>& due);
    // The summaries of every flood still being held back, for the log's close.
    void Flush(std::vector<Line>& due);

private:
    struct Kind
    {
        std::deque<Clock::time_point> recent;   // written lines within the window, oldest first
        bool holding = false;
        Clock::time_point periodStart;
        Clock::time_point lastSeen;
        std::uint64_t held = 0;
        int level = 0;
    };

    static Line Summary(const std::string& kind, const Kind& state);

    std::map<std::string, Kind> m_kinds;
};
