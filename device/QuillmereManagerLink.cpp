#include "QuillmereManager.h"

#include <cstdio>

#include "core/EventArgs.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "protocol/SerialCommand.h"
#include "QuillmereDeviceStatus.h"
#include "ResponseDecoder.h"

// The manager's half on the link worker: the engine's callbacks, what each answer or failure
// means for the models and the log, whether the unit answers, the probe of a unit that does
// not, and the follow-up of a reset.

namespace
{
std::string Format(const char* format, auto... args)
{
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}
}

void CQuillmereManager::OnResetOutcome(const CSerialCommand& reset)
{
    // Answered or not, the unit may be restarting: nothing else goes out until a relay status
    // asked from now on is answered, and its reports are switched on again then.
    m_resetSendNumber = reset.SendNumber;
    m_resetPending = true;
    m_resetHolding = true;
    m_probe.AfterReset(m_clock->Now());
    UpdateHold();
}

void CQuillmereManager::UpdateHold()
{
    if (m_link != nullptr)
        m_link->Hold(m_resetHolding.load() || m_reachability.IsUnreachable());
}

std::optional<std::chrono::milliseconds> CQuillmereManager::OnLinkIdle(bool orderWaits)
{
    const CUnitProbe::Next next = m_probe.Idle(m_clock->Now(), orderWaits);
    if (next.askNow && m_link != nullptr)
    {
        auto probe = std::make_unique<CSerialCommand>();
        probe->Code = CommandCode::RelayStatus;
        probe->Probe = true;
        m_link->QueueCommand(std::move(probe));
    }
    if (!next.wait)
        return std::nullopt;
    return std::chrono::ceil<std::chrono::milliseconds>(*next.wait);
}

void CQuillmereManager::OnPortReopened()
{
    // A replugged unit may have restarted with its reports off; while it is not answering
    // these wait for the probe's answer, which asks for them again anyway.
    EnableTamperUnsolicited();
    EnableUnsolicitedResponses();
    if (m_link != nullptr && m_link->IsHeld())
        m_probe.Reopened(m_clock->Now());
}

void CQuillmereManager::AskEverythingAgain()
{
    QueueStatusQuestions();
    EnableUnsolicitedResponses();
    EnableTamperUnsolicited();
}

void CQuillmereManager::OnTrace(const char* text)
{
    WriteLog(LogEntryLevel::Debug, text != nullptr ? text : "");
}

namespace
{
// The unit answers the program's own request to switch its relay or door messages on with a
// frame of the same code. Whatever bytes that answer carries, it is an acknowledgement, not a
// report: only a message that came unasked speaks of a relay or the door.
bool IsEnableAcknowledgement(int type, const CSerialCommand* command)
{
    return (type == CommandCode::UnsolicitedResponses || type == CommandCode::TamperUnsolicited) &&
           command != nullptr && command->Code == type;
}
}

void CQuillmereManager::OnResponse(LinkStatus status, int type, CSerialCommand* command, const unsigned char* payload,
                                   std::size_t length)
{
    if (status == LinkStatus::Stopped)
    {
        // Not the unit's failure: nothing is counted, reset or shown as an error. Only an
        // order someone gave is worth a line; a question simply goes.
        LogLostOrder(type, command, status);
        return;
    }
    if (status == LinkStatus::Expired)
    {
        // Shown as failed so the window gives the control back, but the unit did nothing
        // wrong that a count or an error line should hold against it.
        LogLostOrder(type, command, status);
        RaiseResponse(type, command, status, nullptr, 0);
        return;
    }
    const bool own = command != nullptr && command->Code == type;
    if (own && command->Probe && status != LinkStatus::Ok)
    {
        // The unit is still away: already said, and the probe is nobody's order.
        TakeReachability(status);
        return;
    }
    if (type == CommandCode::RequestUpgrade || type == CommandCode::FirmwareTransfer)
        LogFirmwareOutcome(type, status);
    const bool acknowledgement = IsEnableAcknowledgement(type, command);
    if (status != LinkStatus::Ok)
    {
        // An order's line names it as its own Event line did; a firmware stage's code names it.
        std::string line = FailureLine(type, status);
        if (own && !command->Name.empty() && type != CommandCode::RequestUpgrade && type != CommandCode::FirmwareTransfer)
            line += " Order: " + command->Name;
        WriteLog(LogEntryLevel::Error, line);
        ResetFieldAfterFailure(*m_status, type);
    }
    else if (!acknowledgement)
    {
        const DecodeResult decoded = DecodeResponse(*m_status, type, payload, length);
        if (type == CommandCode::RelayStatus)
            RaiseRelayChanges(m_relayStates.TakeRelayStatus(payload, length));
        else if (type == CommandCode::UnsolicitedResponses)
            RaiseRelayChanges(m_relayStates.TakeUnsolicited(payload, length));
        else if (type == CommandCode::RelayToggle && own)
        {
            const std::size_t relay = command->Param1;
            const RelayChangeCause cause = relay < m_switchCause.size() ? m_switchCause[relay].load()
                                                                        : RelayChangeCause::Operator;
            RaiseRelayChanges(m_relayStates.TakeSwitchAnswer(payload, length, command, cause));
        }
        if (!decoded.logText.empty())
            WriteLog(LogEntryLevel::Event, decoded.logText);
    }
    // A refused frame did not restart the unit; an answer or the lack of one may have.
    if (own && type == CommandCode::Reset && status != LinkStatus::NotAcknowledged)
        OnResetOutcome(*command);
    // Only a question sent after the reset can speak for the restarted unit; an answer to one
    // sent before it (or the unit's own report) says nothing about its reports being back on.
    const bool backFromReset = status == LinkStatus::Ok && own && type == CommandCode::RelayStatus &&
                               command->SendNumber > m_resetSendNumber.load() &&
                               CRelayStates::IsWholeRelayStatus(payload, length) && m_resetPending.exchange(false);
    // Any answer to a question sent after the reset shows the unit back from its restart: what
    // waited may go, even from a unit whose relay status is never whole.
    if (status == LinkStatus::Ok && own && command->SendNumber > m_resetSendNumber.load() && m_resetHolding.exchange(false))
        UpdateHold();
    const bool wasUnreachable = m_reachability.IsUnreachable();
    TakeReachability(status);
    const bool answersAgain = wasUnreachable && !m_reachability.IsUnreachable();
    if (backFromReset)
    {
        m_probe.Answered();
        UpdateHold();
    }
    if (backFromReset || answersAgain)
        AskEverythingAgain();
    if (own && command->Probe)
        return;   // the probe's answer has done its work: reachability, relays
    RaiseResponse(type, command, status, acknowledgement ? nullptr : payload, length);
}

void CQuillmereManager::TakeReachability(LinkStatus status)
{
    const std::time_t lastAnswer = m_reachability.GetLastAnswerTime();
    if (!m_reachability.Take(status, m_clock->WallNow()))
        return;
    const CUnitProbe::Clock::time_point now = m_clock->Now();
    if (m_reachability.IsUnreachable())
    {
        m_lostAt = now;
        m_probe.Lost(now);
    }
    else
    {
        if (!m_resetPending)
            m_probe.Answered();
        if (m_lostAt != CUnitProbe::Clock::time_point{})
        {
            const auto away = std::chrono::duration_cast<std::chrono::seconds>(now - m_lostAt).count();
            const long long minutes = away / 60;
            const long long seconds = away % 60;
            WriteLog(LogEntryLevel::Event, (lastAnswer != 0 ? "The unit answers again after " : "The unit answers after ") +
                                               (minutes > 0 ? Format("%lld min %lld s", minutes, seconds)
                                                            : Format("%lld s", seconds)));
        }
    }
    UpdateHold();
    CUnitReachabilityChangedEventArgs changed(!m_reachability.IsUnreachable(),
                                              static_cast<std::int64_t>(m_reachability.GetLastAnswerTime()));
    Notify(&changed);
}

void CQuillmereManager::LogLostOrder(int type, const CSerialCommand* command, LinkStatus status)
{
    if (command != nullptr && command->OnNotSent)
        command->OnNotSent();
    if (command == nullptr || command->Name.empty())
        return;   // a question: the next poll asks again
    if (type == CommandCode::RequestUpgrade)
    {
        WriteLog(LogEntryLevel::Event, "Firmware update failed: the link was stopped before the transfer began");
        return;
    }
    if (type == CommandCode::FirmwareTransfer)
    {
        WriteLog(LogEntryLevel::Event, "Firmware update failed: the link was stopped, the transfer was cancelled");
        return;
    }
    if (status == LinkStatus::Expired)
    {
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(m_clock->Now() - command->QueuedAt).count();
        WriteLog(LogEntryLevel::Event, command->Name + Format(" not sent: given %lld s ago, the unit did not answer",
                                                              static_cast<long long>(age)));
        return;
    }
    // The frame went out before the stop: the unit may well have done it; the next relay
    // status after the start says what it did.
    WriteLog(LogEntryLevel::Event, command->Name + (command->SendNumber != 0
                                                        ? " may have been carried out: the link was stopped before the unit answered"
                                                        : " not sent: the link was stopped"));
}

void CQuillmereManager::RaiseRelayChanges(const CRelayStates::Changes& changes)
{
    for (const CRelayStateChangedEventArgs& change : changes)
    {
        CRelayStateChangedEventArgs record = change;
        Notify(&record);
    }
}

void CQuillmereManager::RaiseResponse(int type, CSerialCommand* command, LinkStatus status, const unsigned char* payload,
                                      std::size_t length)
{
    std::unique_ptr<CCommandResponse> record = MakeCommandResponse(type, command, status, payload, length);
    Notify(record.get());
}

void CQuillmereManager::OnLinkThreadEnded()
{
    CNetworkThreadCompletedEventArgs args(1);
    Notify(&args);
}

void CQuillmereManager::OnProgress(int position, int total)
{
    m_firmwareBytesSent = position;
    CProgressChangedEventArgs args;
    args.Position = position;
    args.Total = total;
    Notify(&args);
}
