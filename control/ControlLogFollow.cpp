#include "ControlProtocol.h"
#include "ControlServerShared.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"

void CControlServer::Shared::NoteLogLine(const CWriteLogEventArgs& line)
{
    std::lock_guard<std::mutex> guard(Mutex);
    if (Followers.empty())
        return;
    for (auto& [id, follower] : Followers)
    {
        if (line.Sequence != 0 && line.Sequence <= follower.After)
            continue;
        if (follower.Text.size() + line.Line.size() > kMaxFollowBacklog)
            ++follower.Dropped;
        else
            follower.Text += line.Line;
    }
    Wake();
}

void CControlServer::AnswerLog(Connection& connection, int lines)
{
    CLog* log = m_manager->GetLog();
    std::vector<std::string> newest;
    if (log != nullptr && lines > 0)
        newest = log->ReadNewestLines(static_cast<std::size_t>(lines));
    std::string text = std::string(ControlReply::kDone) + " " + std::to_string(newest.size()) + " lines\n";
    for (auto it = newest.rbegin(); it != newest.rend(); ++it)
        text += *it + "\n";
    Answer(connection, text);
}

void CControlServer::StartFollowing(Connection& connection, int lines)
{
    CLog* log = m_manager->GetLog();
    std::size_t followers = 0;
    for (const auto& other : m_connections)
        followers += other->Now == Connection::Step::Following ? 1 : 0;
    if (followers >= kMaxFollowers)
        return Answer(connection, std::string(ControlReply::kRefused) + " " + std::to_string(kMaxFollowers) +
                                      " readers follow the log already\n");
    const std::uint64_t before = log != nullptr ? log->GetLastSequence() : 0;
    {
        std::lock_guard<std::mutex> guard(m_shared->Mutex);
        m_shared->Followers[connection.Id].After = before;
    }
    std::vector<std::string> newest;
    if (log != nullptr && lines > 0)
        newest = log->ReadNewestLines(static_cast<std::size_t>(lines));
    std::string text = std::string(ControlReply::kDone) + " following the log\n";
    for (auto it = newest.rbegin(); it != newest.rend(); ++it)
        text += *it + "\n";
    connection.Now = Connection::Step::Following;
    connection.Out += text;
    connection.Writing = true;
    connection.Deadline = ControlClock::now() + kWriteTime;
    WriteTo(connection);
}
