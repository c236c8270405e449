#include "CommandIntake.h"

#include <algorithm>
#include <vector>

#include "config/AppSettings.h"
#include "config/RelayPermission.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"

namespace
{
using Kind = CRemoteCommand::Kind;

bool IsRelayCommand(Kind kind)
{
    return kind == Kind::RelayOn || kind == Kind::RelayOff || kind == Kind::RelayCycle;
}
}

CCommandIntake::CCommandIntake(CQuillmereManager* manager, Poster poster, const IClock& clock)
    : m_manager(manager), m_settings(manager->GetSettings()), m_log(manager->GetLog()), m_poster(std::move(poster)),
      m_clock(clock)
{
}

void CCommandIntake::SetRefusalLogInterval(std::chrono::milliseconds interval)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_refusalInterval = interval;
}

void CCommandIntake::Take(const std::string& topic, std::string_view payload, bool retained)
{
    // A retained command is an old one the broker replays to every new subscriber: carrying
    // it out would repeat it at every start and reconnect.
    if (retained)
        return IgnoreRetained(topic);
    if (payload.size() > CRemoteCommand::kMaxPayloadBytes)
        return Refuse("payload of " + std::to_string(payload.size()) + " bytes on " + topic + " is over " +
                      std::to_string(CRemoteCommand::kMaxPayloadBytes));
    if (topic.compare(0, m_base.size(), m_base) != 0)
        return;   // not ours: a filter never delivers it
    const std::string what = topic.substr(m_base.size());
    const CRemoteCommand command = ParseRemoteCommand(what, payload);
    if (!command.IsValid())
        return Refuse(command.Error);

    if (IsRelayCommand(command.What))
    {
        {
            // The newest intent for a relay wins: one still waiting is replaced, not queued behind.
            std::lock_guard<std::mutex> guard(m_mutex);
            RelaySlot& slot = m_relaySlots[command.Relay];
            slot.Command = command;
            if (slot.Posted)
                return;
        }
        PostRelay(command.Relay);
        return;
    }
    std::string refusal;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto now = m_clock.Now();
        if (command.What == Kind::Reset && !m_pace.ResetAllowed(now))
            refusal = "a reset is taken at most once every " + std::to_string(kResetInterval.count()) + " s; " + what +
                      " dropped";
        else if (!TakeToken())
            refusal = "more than " + std::to_string(static_cast<int>(kCommandsPerSecond)) + " commands a second; " +
                      what + " dropped";
        else if (m_pending >= kMaxPendingCommands)
            refusal = "too many commands waiting; " + what + " dropped";
        else
        {
            ++m_pending;
            if (command.What == Kind::Reset)
                m_pace.NoteReset(now);
        }
    }
    if (!refusal.empty())
        return Refuse(refusal);
    m_poster([this, command] {
        Execute(command);
        std::lock_guard<std::mutex> guard(m_mutex);
        --m_pending;
    });
}

bool CCommandIntake::TakeToken()
{
    return m_pace.TakeToken(m_clock.Now());
}

void CCommandIntake::PostRelay(int relay)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        RelaySlot& slot = m_relaySlots[relay];
        if (slot.Posted || slot.InFlight || !slot.Command.IsValid() || !TakeToken())
            return;   // an order under way or an empty bucket: Tick posts it later
        slot.Posted = true;
    }
    m_poster([this, relay] {
        CRemoteCommand command;
        {
            // Whatever came last while the task waited is what is carried out.
            std::lock_guard<std::mutex> guard(m_mutex);
            RelaySlot& slot = m_relaySlots[relay];
            command = slot.Command;
            slot.Command = {};
            slot.Posted = false;
            // Before the order is queued: the link may answer it before Execute returns.
            slot.InFlight = command.IsValid();
            slot.Since = m_clock.Now();
        }
        if (command.IsValid() && Execute(command))
            return;
        std::lock_guard<std::mutex> guard(m_mutex);
        m_relaySlots[relay].InFlight = false;
    });
}

void CCommandIntake::Tick()
{
    std::vector<int> waiting;
    std::vector<std::string> summaries;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto now = m_clock.Now();
        for (auto& [relay, slot] : m_relaySlots)
        {
            // An answer that never came (an order dropped at a stop) must not hold the relay.
            if (slot.InFlight && now - slot.Since >= kAnswerWait)
                slot.InFlight = false;
            if (slot.Command.IsValid() && !slot.Posted && !slot.InFlight)
                waiting.push_back(relay);
        }
        summaries = HeldCountsLocked(false);
    }
    for (int relay : waiting)
        PostRelay(relay);
    WriteLines(summaries);
}

void CCommandIntake::LinkAnswered(const CCommandResponse& response)
{
    const CSerialCommand* command = response.GetCommand();
    if (command == nullptr || (command->Code != CommandCode::RelayToggle && command->Code != CommandCode::RelayTestCycle))
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto slot = m_relaySlots.find(command->Param1);
    if (slot != m_relaySlots.end())
        slot->second.InFlight = false;
}

bool CCommandIntake::IsAnswerPending(int relay) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto slot = m_relaySlots.find(relay);
    return slot != m_relaySlots.end() && slot->second.InFlight;
}

void CCommandIntake::WriteHeldCounts()
{
    std::vector<std::string> summaries;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        summaries = HeldCountsLocked(true);
    }
    WriteLines(summaries);
}

std::vector<std::string> CCommandIntake::HeldCountsLocked(bool all)
{
    // A count still held when its interval is over is written now, not at a later line that
    // may never come.
    std::vector<std::string> lines;
    const auto now = m_clock.Now();
    const bool windowOver = now - m_budgetStart >= m_refusalInterval;
    if (m_refusalsUnlogged > 0 && (all || (windowOver && now - m_lastRefusalLog >= m_refusalInterval)))
    {
        lines.push_back("Remote command refused: " + std::to_string(m_refusalsUnlogged) +
                        " more commands refused (the last: " + m_lastRefusal + ")");
        m_refusalsUnlogged = 0;
        m_refusalLogged = false;
    }
    if (m_ignoredUnlogged > 0 && (all || windowOver))
    {
        lines.push_back("Remote command ignored: " + std::to_string(m_ignoredUnlogged) +
                        " more retained messages ignored; clear them with empty retained messages");
        m_ignoredUnlogged = 0;
    }
    return lines;
}

void CCommandIntake::WriteLines(const std::vector<std::string>& lines)
{
    if (m_log == nullptr)
        return;
    for (const std::string& line : lines)
        m_log->Write(LogEntryLevel::Error, line);
}

bool CCommandIntake::TakeLineLocked(IClock::Steady::time_point now)
{
    if (m_budgetUsed == 0 || now - m_budgetStart >= m_refusalInterval)
    {
        m_budgetStart = now;
        m_budgetUsed = 0;
    }
    if (m_budgetUsed >= kLineBudget)
        return false;
    ++m_budgetUsed;
    return true;
}

std::chrono::milliseconds CCommandIntake::Due() const
{
    using std::chrono::milliseconds;
    std::lock_guard<std::mutex> guard(m_mutex);
    milliseconds due = milliseconds::max();
    // A relay command waiting for the pace is looked at again when the next token is due.
    for (const auto& entry : m_relaySlots)
        if (entry.second.Command.IsValid() && !entry.second.Posted)
            due = milliseconds(static_cast<int>(1000 / kCommandsPerSecond));
    const auto now = m_clock.Now();
    const auto until = [&](IClock::Steady::time_point end) {
        return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(end - now));
    };
    if (m_refusalsUnlogged > 0)
        due = std::min(due, until(std::max(m_lastRefusalLog, m_budgetStart) + m_refusalInterval));
    if (m_ignoredUnlogged > 0)
        due = std::min(due, until(m_budgetStart + m_refusalInterval));
    return due;
}

bool CCommandIntake::Execute(const CRemoteCommand& command)
{
    if (!m_manager->IsLinkRunning())
    {
        Refuse("the link to the unit is not running");
        return false;
    }
    switch (command.What)
    {
    case Kind::Poll:
        m_manager->Poll();
        return false;
    case Kind::Reset:
        m_manager->ResetDeviceBy(kCommandSource);
        return false;
    case Kind::None:
        return false;
    default:
        break;
    }

    const CRelaySetting* setting = m_settings != nullptr ? m_settings->FindRelaySetting(command.Relay) : nullptr;
    const std::string relay = "relay " + std::to_string(command.Relay);
    if (setting == nullptr)
    {
        Refuse(relay + " is not configured");
        return false;
    }
    const RelayPermission permission = setting->GetPermission();
    const std::string permissionText = RelayPermissionToText(RelayPermissionRead(permission));
    if (command.What == Kind::RelayCycle)
    {
        if (!RelayPermissionAllowsCycle(permission))
        {
            Refuse(relay + " may not be power-cycled (permission " + permissionText + ")");
            return false;
        }
        m_manager->PowerCycleRelayBy(command.Relay, kCommandSource);
        return true;
    }
    if (!RelayPermissionAllowsSwitch(permission))
    {
        Refuse(relay + " may not be switched on or off (permission " + permissionText + ")");
        return false;
    }
    m_manager->SetRelayBy(command.Relay, command.What == Kind::RelayOn ? 0 : 1, kCommandSource);
    return true;
}

void CCommandIntake::Refuse(const std::string& reason)
{
    std::string text;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto now = m_clock.Now();
        m_lastRefusal = reason;
        if ((m_refusalLogged && now - m_lastRefusalLog < m_refusalInterval) || !TakeLineLocked(now))
        {
            ++m_refusalsUnlogged;
            return;
        }
        text = "Remote command refused: " + reason;
        if (m_refusalsUnlogged > 0)
            text += " (" + std::to_string(m_refusalsUnlogged) + " more refused before it)";
        m_refusalsUnlogged = 0;
        m_refusalLogged = true;
        m_lastRefusalLog = now;
    }
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, text);
}

void CCommandIntake::NewConnection()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_retainedIgnored.clear();
}

void CCommandIntake::IgnoreRetained(const std::string& topic)
{
    // Only told; never cleared from here, since the bridge deletes nothing it did not publish.
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_retainedIgnored.insert(topic).second)
            return;
        if (!TakeLineLocked(m_clock.Now()))
        {
            ++m_ignoredUnlogged;
            return;
        }
    }
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, "Remote command ignored: retained message on " + topic +
                                               "; clear it with an empty retained message");
}
