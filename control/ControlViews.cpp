#include "ControlViews.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "config/AppSettings.h"
#include "config/RelaySetting.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "link/QMNetSerialPort.h"
#include "log/NowText.h"
#include "netmon/CheckTarget.h"
#include "netmon/MonitorAction.h"
#include "netmon/NetworkMonitor.h"
#include "remote/JsonWriter.h"

namespace
{
constexpr const char* kNotAvailable = "N/A";

std::string UnitText(const CUnitReachability& reachability)
{
    switch (reachability.GetState())
    {
    case CUnitReachability::State::Unknown:
        return "not asked yet";
    case CUnitReachability::State::Reachable:
        return "answering";
    default:
        return "not answering";
    }
}

std::string RelayStateText(std::int32_t state)
{
    return state == 0 ? "on" : state == 1 ? "off" : "unknown";
}

std::string RadioText(std::int32_t radioType)
{
    return radioType == 0 ? "2G" : radioType == 1 ? "3G" : "";
}

std::string FirmwareText(const CQuillmereDeviceStatus::Firmware& firmware)
{
    if (firmware.major <= 0)
        return {};
    return std::to_string(firmware.major) + "." + std::to_string(firmware.minor) + "." + std::to_string(firmware.build);
}

std::string UptimeText(std::int32_t seconds)
{
    if (seconds == 0)
        return kNotAvailable;
    return std::to_string(seconds / 3600) + " hours " + std::to_string((seconds % 3600) / 60) + " minutes " +
           std::to_string(seconds % 60) + " seconds";
}

std::string OrNotAvailable(const std::string& text)
{
    return text.empty() ? std::string(kNotAvailable) : text;
}

// Lines of "caption  value", the captions padded to one width. Values are the unit's or
// the settings' texts: control characters become blanks, so one row stays one line.
std::string Table(const std::vector<std::pair<std::string, std::string>>& rows)
{
    std::size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    std::string text;
    for (const auto& [caption, value] : rows)
    {
        std::string clean = value;
        std::replace_if(clean.begin(), clean.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, ' ');
        text += caption + std::string(width - caption.size() + 2, ' ') + clean + "\n";
    }
    return text;
}

std::string MonitorState(const CNetworkMonitor& monitor)
{
    if (monitor.GetCheckKind() == CheckKind::Invalid)
        return "not checked (invalid target)";
    const std::string last = monitor.GetLastResult();
    if (last.empty())
        return "not checked yet";
    return last == "ok" ? "ok" : "failing";
}
}

std::string StatusView(const CQuillmereManager& manager, bool json)
{
    const CAppSettings* settings = manager.GetSettings();
    const CQuillmereDeviceStatus* status = manager.GetDeviceStatus();
    const CUnitReachability& reachability = manager.GetReachability();
    const int port = settings != nullptr ? settings->GetComPort() : 0;
    const std::string device = CQMNetSerialPort::DevicePathFor(port);
    const std::time_t answered = reachability.GetLastAnswerTime();
    const std::time_t clock = status != nullptr ? status->GetDateTime() : 0;
    const std::string iccid = status != nullptr ? status->GetIccid() : std::string();
    const std::string radio = status != nullptr ? RadioText(status->GetRadioType()) : std::string();
    const std::string firmware = status != nullptr ? FirmwareText(status->GetFirmware()) : std::string();
    const std::int32_t uptime = status != nullptr ? status->GetUptime() : 0;
    const bool gsm = status != nullptr && status->GetGsmActive();
    const bool door = status != nullptr && status->GetDoorOpen();
    const std::int32_t rssi = status != nullptr ? status->GetRssi() : CQuillmereDeviceStatus::RssiNotAvailable;
    const bool signal = CQuillmereDeviceStatus::HasSignal(rssi);
    const std::array<std::int32_t, CRelayStates::kRelayCount> states = manager.GetRelayStates().GetStates();
    const std::string remote = manager.GetRemoteLine();
    auto relayName = [&](int relay) {
        const CRelaySetting* setting = settings != nullptr ? settings->FindRelaySetting(relay) : nullptr;
        return setting != nullptr ? setting->GetName() : std::string();
    };

    if (json)
    {
        CJsonWriter writer;
        writer.BeginObject().Number("port", port).String("device", device).String("unit", UnitText(reachability));
        answered != 0 ? writer.Number("last_answer", answered) : writer.Null("last_answer");
        clock != 0 ? writer.Number("date_time", clock) : writer.Null("date_time");
        iccid.empty() ? writer.Null("iccid") : writer.String("iccid", iccid);
        radio.empty() ? writer.Null("radio_type") : writer.String("radio_type", radio);
        firmware.empty() ? writer.Null("firmware") : writer.String("firmware", firmware);
        writer.Number("uptime", uptime).Bool("gsm_active", gsm).Bool("door_open", door);
        signal ? writer.Number("rssi", rssi) : writer.Null("rssi");
        writer.BeginArray("relays");
        for (int relay = 1; relay <= CRelayStates::kRelayCount; ++relay)
            writer.BeginObject()
                .Number("relay", relay)
                .String("name", relayName(relay))
                .String("state", RelayStateText(states[static_cast<std::size_t>(relay - 1)]))
                .EndObject();
        writer.EndArray();
        remote.empty() ? writer.Null("remote") : writer.String("remote", remote);
        writer.EndObject();
        return writer.Text() + "\n";
    }

    std::vector<std::pair<std::string, std::string>> rows{
        {"Port", "COM" + std::to_string(port) + " (" + (device.empty() ? std::string("no such port") : device) + ")"},
        {"Unit", UnitText(reachability) + "; last answer " + (answered != 0 ? DateTimeTextAt(answered) : "none yet")},
        {"Date/Time", clock != 0 ? DateTimeTextAt(clock) : kNotAvailable},
        {"ICCID", OrNotAvailable(iccid)},
        {"Radio Type", OrNotAvailable(radio)},
        {"Firmware", OrNotAvailable(firmware)},
        {"Uptime", UptimeText(uptime)},
        {"GSM", gsm ? "Active" : "Inactive"},
        {"Door", door ? "Open" : "Closed"},
        {"Signal Strength", signal ? std::to_string(rssi) + " dBm" : kNotAvailable},
    };
    for (int relay = 1; relay <= CRelayStates::kRelayCount; ++relay)
    {
        const std::string name = relayName(relay);
        rows.emplace_back("Relay " + std::to_string(relay),
                          RelayStateText(states[static_cast<std::size_t>(relay - 1)]) +
                              (name.empty() ? "" : "  " + name));
    }
    rows.emplace_back("Remote", remote.empty() ? std::string("no broker") : remote);
    return Table(rows);
}

std::string MonitorsView(const CQuillmereManager& manager, bool json)
{
    const CAppSettings* settings = manager.GetSettings();
    CJsonWriter writer;
    writer.BeginObject().BeginArray("monitors");
    std::string table;
    if (settings != nullptr)
    {
        for (const std::shared_ptr<CNetworkMonitor>& monitor : settings->GetNetworkMonitors())
        {
            const std::string last = monitor->GetLastResult();
            const std::string action = MonitorActionToText(static_cast<std::int32_t>(monitor->GetAction()));
            if (json)
            {
                writer.BeginObject()
                    .String("name", monitor->GetEventName())
                    .String("target", MaskCredentials(monitor->GetTarget()))
                    .String("kind", CheckKindName(monitor->GetCheckKind()))
                    .String("state", MonitorState(*monitor))
                    .Number("failures", monitor->GetFailureCount())
                    .Number("threshold", monitor->GetThreshold())
                    .Number("resets_used", monitor->GetCurrentResetCount())
                    .Number("reset_limit", monitor->GetAutoResetLimit())
                    .String("last_result", last)
                    .Number("interval_minutes", monitor->GetPollIntervalInMinutes())
                    .Number("relay", monitor->GetRelayIndex())
                    .String("action", action)
                    .EndObject();
                continue;
            }
            table += Table({
                {"Monitor", monitor->GetEventName()},
                {"Target", MaskCredentials(monitor->GetTarget()) + " (" + CheckKindName(monitor->GetCheckKind()) + ")"},
                {"State", MonitorState(*monitor)},
                {"Failures", std::to_string(monitor->GetFailureCount()) + " (threshold " +
                                 std::to_string(monitor->GetThreshold()) + ")"},
                {"Resets used", std::to_string(monitor->GetCurrentResetCount()) + " of " +
                                    std::to_string(monitor->GetAutoResetLimit())},
                {"Last result", last.empty() ? std::string("none yet") : last},
                {"Checked", "every " +
                                std::to_string(CQuillmereManager::TimerPeriodMs(monitor->GetPollIntervalInMinutes()) /
                                               60000) +
                                " min"},
                {"Action", action + " relay " + std::to_string(monitor->GetRelayIndex())},
            }) + "\n";
        }
    }
    if (json)
    {
        writer.EndArray().EndObject();
        return writer.Text() + "\n";
    }
    return table.empty() ? std::string("no network monitors\n") : table;
}
