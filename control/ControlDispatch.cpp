#include <algorithm>

#include "ControlProtocol.h"
#include "ControlRequest.h"
#include "ControlServerShared.h"
#include "ControlViews.h"
#include "config/AppSettings.h"
#include "config/RelayPermission.h"
#include "config/RelaySetting.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"

namespace
{
using Kind = CControlRequest::Kind;
}

std::string ControlRelayName(int relay)
{
    return "relay " + std::to_string(relay);
}

void CControlServer::Handle(Connection& connection, const std::string& line)
{
    const CControlRequest request = ParseControlRequest(line);
    if (!request.IsValid())
    {
        m_shared->LogRefusal(Shared::kRequest, request.Error + " (from " + connection.Who + ")");
        return Answer(connection, std::string(ControlReply::kUsage) + " " + request.Error + "\n");
    }
    if (request.What == Kind::Log)
    {
        if (request.Follow)
            return StartFollowing(connection, request.Lines);
        return AnswerLog(connection, request.Lines);
    }
    if (request.What == Kind::Reload && !m_reloader)
        return Answer(connection, std::string(ControlReply::kRefused) +
                                      " the window program reads its settings from its Settings page\n");

    const std::string refusal = m_shared->Admit(request);
    if (!refusal.empty())
    {
        if (request.IsUnitCommand())
            m_shared->LogRefusal(Shared::kRequest, line + " by " + connection.Who + ": " + refusal);
        return Answer(connection, std::string(ControlReply::kRefused) + " " + refusal + "\n");
    }

    connection.Now = Connection::Step::Busy;
    const std::uint64_t id = connection.Id;
    const std::string who = connection.Who;
    std::shared_ptr<Shared> shared = m_shared;
    Reloader reloader = m_reloader;
    // On the UI thread: the settings are read there only, and the manager takes orders there.
    m_poster([shared, id, who, request, line, reloader] {
        {
            std::lock_guard<std::mutex> guard(shared->Mutex);
            --shared->PendingTasks;
            if (!shared->Alive)
                return;
        }
        CQuillmereManager& manager = *shared->Manager;
        auto refuse = [&](const std::string& why) {
            shared->LogRefusal(Shared::kRequest, line + " by " + who + ": " + why);
            shared->Deliver(id, std::string(ControlReply::kRefused) + " " + why + "\n");
        };
        switch (request.What)
        {
        case Kind::Status:
            return shared->Deliver(id, std::string(ControlReply::kDone) + " status\n" +
                                           StatusView(manager, request.Json));
        case Kind::Monitors:
            return shared->Deliver(id, std::string(ControlReply::kDone) + " monitors\n" +
                                           MonitorsView(manager, request.Json));
        case Kind::Reload:
        {
            if (shared->Log != nullptr)
                shared->Log->Write(LogEntryLevel::Event, "Settings reload requested by " + who);
            const std::string why = reloader();
            return shared->Deliver(id, why.empty() ? std::string(ControlReply::kDone) + " settings read again\n"
                                                   : std::string(ControlReply::kRefused) + " " + why + "\n");
        }
        default:
            break;
        }
        if (!manager.IsLinkRunning())
            return refuse("the link to the unit is not running");
        int code = CommandCode::RelayStatus;
        if (request.What == Kind::RelayOn || request.What == Kind::RelayOff || request.What == Kind::RelayCycle)
        {
            const CAppSettings* settings = manager.GetSettings();
            const CRelaySetting* setting = settings != nullptr ? settings->FindRelaySetting(request.Relay) : nullptr;
            const std::string relay = ControlRelayName(request.Relay);
            if (setting == nullptr)
                return refuse(relay + " is not configured");
            const RelayPermission permission = setting->GetPermission();
            const std::string permissionText = RelayPermissionToText(RelayPermissionRead(permission));
            if (request.What == Kind::RelayCycle && !RelayPermissionAllowsCycle(permission))
                return refuse(relay + " may not be power-cycled (permission " + permissionText + ")");
            if (request.What != Kind::RelayCycle && !RelayPermissionAllowsSwitch(permission))
                return refuse(relay + " may not be switched on or off (permission " + permissionText + ")");
            code = request.What == Kind::RelayCycle ? CommandCode::RelayTestCycle : CommandCode::RelayToggle;
        }
        else if (request.What == Kind::Reset)
            code = CommandCode::Reset;
        {
            // Waiting before the order goes: its answer may come before this task returns.
            std::lock_guard<std::mutex> guard(shared->Mutex);
            // A poll is answered when every one of its questions is; the manager asks these.
            std::vector<int> codes{code};
            if (request.What == Kind::Poll)
                codes = {CommandCode::TamperStatus, CommandCode::RadioCapability, CommandCode::Rssi,
                         CommandCode::RelayStatus,  CommandCode::DateTime,        CommandCode::Gps,
                         CommandCode::GsmStatus,    CommandCode::Uptime};
            const bool anyRelay = request.What == Kind::Poll || request.What == Kind::Reset;
            shared->Waiters.push_back({id, code, std::move(codes), anyRelay ? 0 : request.Relay,
                                       ControlClock::now() + std::chrono::seconds(request.WaitSeconds),
                                       request.WaitSeconds});
            shared->Wake();
        }
        switch (request.What)
        {
        case Kind::RelayOn:
        case Kind::RelayOff:
            manager.SetRelayBy(request.Relay, request.What == Kind::RelayOn ? 0 : 1, who);
            break;
        case Kind::RelayCycle:
            manager.PowerCycleRelayBy(request.Relay, who);
            break;
        case Kind::Reset:
            manager.ResetDeviceBy(who);
            break;
        default:
            if (shared->Log != nullptr)
                shared->Log->Write(LogEntryLevel::Event, "Status poll requested by " + who);
            manager.Poll();
            break;
        }
    });
}

void CControlServer::Shared::NoteResponse(const CCommandResponse& response)
{
    const CSerialCommand* command = response.GetCommand();
    std::lock_guard<std::mutex> guard(Mutex);
    if (!Alive)
        return;
    for (auto it = Waiters.begin(); it != Waiters.end();)
    {
        const bool relayMatches = it->Relay == 0 || (command != nullptr && command->Param1 == it->Relay);
        const auto code = std::find(it->Codes.begin(), it->Codes.end(), response.GetType());
        if (code == it->Codes.end() || !relayMatches)
        {
            ++it;
            continue;
        }
        it->Codes.erase(code);
        std::string text;
        if (response.GetResult() == LinkStatus::Ok && !it->Codes.empty())
        {
            ++it;   // the poll waits for its other answers
            continue;
        }
        if (response.GetResult() != LinkStatus::Ok)
            text = std::string(ControlReply::kNoAnswer) + " " +
                   Manager->FailureText(response.GetType(), response.GetResult()) + "\n";
        else if (it->Code == CommandCode::RelayToggle)
        {
            const std::int32_t state = Manager->GetRelayStates().GetState(it->Relay);
            text = std::string(ControlReply::kDone) + " " + ControlRelayName(it->Relay) + " is " +
                   (state == 0 ? "on" : state == 1 ? "off" : "in an unknown state") + ", as the unit answered\n";
        }
        else if (it->Code == CommandCode::RelayTestCycle)
            text = std::string(ControlReply::kDone) + " the unit took the power cycle of " +
                   ControlRelayName(it->Relay) + "\n";
        else if (it->Code == CommandCode::Reset)
            text = std::string(ControlReply::kDone) + " the unit took the reset\n";
        else
            text = std::string(ControlReply::kDone) + " the unit answered the poll\n";
        DeliverLocked(it->Id, std::move(text));
        it = Waiters.erase(it);
    }
}

void CControlServer::Shared::ExpireWaiters(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(Mutex);
    for (auto it = Waiters.begin(); it != Waiters.end();)
    {
        if (it->Deadline > now)
        {
            ++it;
            continue;
        }
        Inbox.push_back({it->Id, std::string(ControlReply::kNoAnswer) + " no answer from the unit within " +
                                     std::to_string(it->WaitSeconds) +
                                     " s; the order stays queued until the unit answers it or its lifetime ends\n"});
        it = Waiters.erase(it);
    }
}
