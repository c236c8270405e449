#include <algorithm>

#include "ControlRequest.h"
#include "ControlServerShared.h"
#include "log/Log.h"

std::string CControlServer::Shared::Admit(const CControlRequest& request)
{
    using RequestKind = CControlRequest::Kind;
    std::string refusal;
    std::lock_guard<std::mutex> guard(Mutex);
    const auto now = Clock::now();
    if (request.What == RequestKind::Reset && !Pace.ResetAllowed(now))
        refusal = "a reset is taken at most once every " + std::to_string(kResetInterval.count()) + " s";
    else if (request.IsUnitCommand() && !Pace.TakeToken(now))
        refusal = "more than " + std::to_string(static_cast<int>(kCommandsPerSecond)) + " commands a second";
    else if (PendingTasks >= kMaxPendingTasks)
        refusal = "too many requests waiting; try again";
    if (refusal.empty())
    {
        if (request.What == RequestKind::Reset)
            Pace.NoteReset(now);
        ++PendingTasks;
    }
    return refusal;
}

void CControlServer::Shared::LogRefusal(Kind kind, const std::string& reason)
{
    std::string text;
    {
        std::lock_guard<std::mutex> guard(Mutex);
        RefusalLog& log = Refusals[kind];
        const auto now = Clock::now();
        if (log.Logged && now - log.Last < kRefusalLogInterval)
        {
            ++log.Unlogged;
            return;
        }
        text = "Control request refused: " + reason;
        if (log.Unlogged > 0)
            text += " (" + std::to_string(log.Unlogged) + " more refused before it)";
        log.Unlogged = 0;
        log.Logged = true;
        log.Last = now;
    }
    if (Log != nullptr)
        Log->Write(LogEntryLevel::Error, text);
}

CControlServer::Shared::Clock::time_point CControlServer::Shared::FlushRefusals(bool all)
{
    std::vector<std::string> lines;
    auto next = Clock::time_point::max();
    {
        std::lock_guard<std::mutex> guard(Mutex);
        const auto now = Clock::now();
        for (int kind : {kPeer, kRequest})
        {
            RefusalLog& log = Refusals[kind];
            if (log.Unlogged == 0)
                continue;
            if (!all && now - log.Last < kRefusalLogInterval)
            {
                next = std::min(next, log.Last + kRefusalLogInterval);
                continue;
            }
            lines.push_back("Control request refused: " + std::to_string(log.Unlogged) + " more " +
                            (kind == kPeer ? "connections from users who may not use the socket"
                                           : "requests refused"));
            log.Unlogged = 0;
            log.Logged = false;
        }
    }
    for (const std::string& line : lines)
        if (Log != nullptr)
            Log->Write(LogEntryLevel::Error, line);
    return next;
}
