#include "LogFloodGuard.h"

#include <cstring>

#include "Log.h"

namespace
{
// The openings of the lines the device manager writes for what the unit reports on its own.
constexpr const char* kRelayStart = "Relay ";
constexpr const char* kRelayChange = " state changed to ";
constexpr const char* kRelayKind = "Relay state changed";
constexpr const char* kCoverStart = "Device cover was ";
constexpr const char* kCoverKind = "Device cover was";
constexpr const char* kErrorStart = "Error for ";
// What the broker bridge's operators ask for, and its refusals: a burst of commands is one kind each.
constexpr const char* kRemoteEnd = " by remote operator over MQTT";
constexpr const char* kRemoteKind = "by remote operator over MQTT";
constexpr const char* kRefusedStart = "Remote command refused: ";
constexpr const char* kRefusedKind = "Remote command refused";
constexpr const char* kErrorCommand = " command ";

bool StartsWith(const std::string& text, const char* start)
{
    return text.compare(0, std::strlen(start), start) == 0;
}
}

std::string CLogFloodGuard::KindOf(int level, const std::string& text)
{
    if (level == LogEntryLevel::Event && StartsWith(text, kRelayStart) && text.find(kRelayChange) != std::string::npos)
        return kRelayKind;
    if (level == LogEntryLevel::Event && StartsWith(text, kCoverStart))
        return kCoverKind;
    if (text.ends_with(kRemoteEnd))
        return kRemoteKind;
    if (StartsWith(text, kRefusedStart))
        return kRefusedKind;
    if (level == LogEntryLevel::Error && StartsWith(text, kErrorStart))
    {
        // "Error for <command> command <error text>": one kind per command, whatever the error.
        const std::size_t at = text.find(kErrorCommand, std::strlen(kErrorStart));
        if (at != std::string::npos)
            return text.substr(0, at + std::strlen(kErrorCommand) - 1);
    }
    return {};
}

CLogFloodGuard::Line CLogFloodGuard::Summary(const std::string& kind, const Kind& state)
{
    return {state.level, std::to_string(state.held) + " more \"" + kind + "\" lines were not logged"};
}

bool CLogFloodGuard::Admit(int level, const std::string& text, Clock::time_point now, std::vector<Line>& due)
{
    for (auto& [name, state] : m_kinds)
    {
        if (!state.holding || now - state.periodStart < kWindow)
            continue;
        if (state.held > 0)
            due.push_back(Summary(name, state));
        state.held = 0;
        state.periodStart = now;
        if (now - state.lastSeen >= kWindow)
        {
            // Quiet for a whole window: the flood is over and the kind starts afresh.
            state.holding = false;
            state.recent.clear();
        }
    }

    const std::string kind = KindOf(level, text);
    if (kind.empty())
        return true;
    Kind& state = m_kinds[kind];
    state.level = level;
    state.lastSeen = now;
    if (state.holding)
    {
        ++state.held;
        return false;
    }
    while (!state.recent.empty() && now - state.recent.front() >= kWindow)
        state.recent.pop_front();
    if (state.recent.size() < kLinesPerWindow)
    {
        state.recent.push_back(now);
        return true;
    }
    state.holding = true;
    state.periodStart = now;
    state.held = 1;
    return false;
}

void CLogFloodGuard::Flush(std::vector<Line>& due)
{
    for (auto& [name, state] : m_kinds)
    {
        if (state.holding && state.held > 0)
            due.push_back(Summary(name, state));
        state.held = 0;
    }
}
