#include "CommandIntake.h"

#include <algorithm>
#include <vector>

#include "config/AppSettings.h"
#include "config/RelayPermission.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"

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
        if (command.What == Kind::Reset && m_resetTaken && now - m_lastReset < kResetInterval)
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
            {
                m_resetTaken = true;
                m_lastReset = now;
            }
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
    const auto now = m_clock.Now();
    if (m_tokensAt == IClock::Steady::time_point{})
        m_tokensAt = now;
    const double refill = std::chrono::duration<double>(now - m_tokensAt).count() * kCommandsPerSecond;
    m_tokens = std::min(kCommandBurst, m_tokens + refill);
    m_tokensAt = now;
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

void CCommandIntake::PostRelay(int relay)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        RelaySlot& slot = m_relaySlots[relay];
        if (slot.Posted || !slot.Command.IsValid() || !TakeToken())
            return;   // an empty bucket: Tick posts it once a token is back
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
        }
        if (command.IsValid())
            Execute(command);
    });
}

void CCommandIntake::Tick()
{
    std::vector<int> waiting;
    std::string summary;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const auto& [relay, slot] : m_relaySlots)
            if (slot.Command.IsValid() && !slot.Posted)
                waiting.push_back(relay);
        // A count still held when the interval is over is written now, not at a later refusal
        // that may never come.
        if (m_refusalsUnlogged > 0 && m_clock.Now() - m_lastRefusalLog >= m_refusalInterval)
        {
            summary = "Remote command refused: " + std::to_string(m_refusalsUnlogged) + " more commands refused";
            m_refusalsUnlogged = 0;
            m_refusalLogged = false;
        }
    }
    for (int relay : waiting)
        PostRelay(relay);
    if (!summary.empty() && m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, summary);
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
    if (m_refusalsUnlogged > 0)
    {
        const auto left = m_lastRefusalLog + m_refusalInterval - m_clock.Now();
        due = std::min(due, std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(left)));
    }
    return due;
}

void CCommandIntake::Execute(const CRemoteCommand& command)
{
    if (!m_manager->IsLinkRunning())
        return Refuse("the link to the unit is not running");
    switch (command.What)
    {
    case Kind::Poll:
        m_manager->Poll();
        return;
    case Kind::Reset:
        m_manager->ResetDeviceBy(kCommandSource);
        return;
    case Kind::None:
        return;
    default:
        break;
    }

    const CRelaySetting* setting = m_settings != nullptr ? m_settings->FindRelaySetting(command.Relay) : nullptr;
    const std::string relay = "relay " + std::to_string(command.Relay);
    if (setting == nullptr)
        return Refuse(relay + " is not configured");
    const RelayPermission permission = setting->GetPermission();
    const std::string permissionText = RelayPermissionToText(RelayPermissionRead(permission));
    if (command.What == Kind::RelayCycle)
    {
        if (!RelayPermissionAllowsCycle(permission))
            return Refuse(relay + " may not be power-cycled (permission " + permissionText + ")");
        m_manager->PowerCycleRelayBy(command.Relay, kCommandSource);
        return;
    }
    if (!RelayPermissionAllowsSwitch(permission))
        return Refuse(relay + " may not be switched on or off (permission " + permissionText + ")");
    m_manager->SetRelayBy(command.Relay, command.What == Kind::RelayOn ? 0 : 1, kCommandSource);
}

void CCommandIntake::Refuse(const std::string& reason)
{
    std::string text;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto now = m_clock.Now();
        if (m_refusalLogged && now - m_lastRefusalLog < m_refusalInterval)
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
    }
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, "Remote command ignored: retained message on " + topic +
                                               "; clear it with an empty retained message");
}
