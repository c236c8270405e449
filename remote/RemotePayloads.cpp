#include "RemotePayloads.h"

#include "JsonWriter.h"
#include "RemoteCommand.h"
#include "RemoteConfig.h"
#include "config/RelayPermission.h"
#include "device/QuillmereDeviceStatus.h"
#include "netmon/CheckTarget.h"

namespace
{
std::string ClockText(std::time_t clock)
{
    std::tm local{};
    if (clock == 0 || localtime_r(&clock, &local) == nullptr)
        return {};
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
        return {};
    return text;
}

std::string FirmwareText(const CQuillmereDeviceStatus::Firmware& firmware)
{
    if (firmware.major <= 0)
        return {};
    return std::to_string(firmware.major) + "." + std::to_string(firmware.minor) + "." + std::to_string(firmware.build);
}

void Device(CJsonWriter& json, const CRemoteConfig& config, const CRemoteDeviceInfo& device)
{
    json.BeginObject("device")
        .BeginArray("identifiers")
        .String({}, "quillmere_" + config.Site)
        .EndArray()
        .String("name", config.Site)
        .String("manufacturer", "Velmarquet")
        .String("model", "Quillmere Monitor")
        .String("sw_version", QM_VERSION);
    // Left out until the unit told them: Home Assistant shows an absent field as not known.
    if (!device.Firmware.empty())
        json.String("hw_version", device.Firmware);
    if (!device.Iccid.empty())
        json.String("serial_number", device.Iccid);
    json.EndObject();
}

// The fields every entity shares; the caller adds its own and closes the object.
// ofTheUnit: shown only while both the program reaches the broker and the unit answers it;
// otherwise (the network monitors, whose checks go on without the unit) while the program does.
CJsonWriter Entity(const CRemoteConfig& config, const CRemoteDeviceInfo& device, const std::string& objectId,
                   const std::string& name, bool ofTheUnit = true)
{
    CJsonWriter json;
    json.BeginObject()
        .String("name", name)
        .String("unique_id", "quillmere_" + config.Site + "_" + objectId)
        .BeginArray("availability")
        .BeginObject()
        .String("topic", config.BaseTopic() + "/availability")
        .EndObject();
    if (ofTheUnit)
        json.BeginObject().String("topic", config.BaseTopic() + "/unit/availability").EndObject();
    json.EndArray().String("availability_mode", "all");
    Device(json, config, device);
    return json;
}

std::string DiscoveryTopic(const CRemoteConfig& config, const char* component, const std::string& objectId)
{
    return config.DiscoveryPrefix + "/" + component + "/quillmere_" + config.Site + "/" + objectId + "/config";
}
}

std::string RelayStateText(std::int32_t state)
{
    if (state == 0)
        return "ON";
    if (state > 0)
        return "OFF";
    return {};
}

std::string StatusJson(const CQuillmereDeviceStatus& status, const std::vector<CRemoteRelayView>& relays,
                       const std::string& linkError)
{
    CJsonWriter json;
    json.BeginObject();
    const std::string clock = ClockText(status.GetDateTime());
    clock.empty() ? json.Null("clock") : json.String("clock", clock);
    json.Number("uptime", status.GetUptime());
    const std::string firmware = FirmwareText(status.GetFirmware());
    firmware.empty() ? json.Null("firmware") : json.String("firmware", firmware);
    const std::string iccid = status.GetIccid();
    iccid.empty() ? json.Null("iccid") : json.String("iccid", iccid);
    json.String("gsm", status.GetGsmActive() ? "active" : "inactive");
    const std::int32_t rssi = status.GetRssi();
    CQuillmereDeviceStatus::HasSignal(rssi) ? json.Number("rssi_dbm", rssi) : json.Null("rssi_dbm");
    switch (status.GetRadioType())
    {
    case 0: json.String("radio_type", "2G"); break;
    case 1: json.String("radio_type", "3G"); break;
    default: json.Null("radio_type"); break;
    }
    json.String("door", status.GetDoorOpen() ? "open" : "closed");
    json.BeginArray("relays");
    for (const CRemoteRelayView& relay : relays)
    {
        json.BeginObject().Number("index", relay.Index).String("name", relay.Name);
        const std::string permission =
            relay.Permission < 0 ? std::string() : RelayPermissionToText(RelayPermissionRead(relay.Permission));
        permission.empty() ? json.Null("permission") : json.String("permission", permission);
        const std::string state = RelayStateText(relay.State);
        state.empty() ? json.Null("state") : json.String("state", state);
        json.EndObject();
    }
    json.EndArray();
    linkError.empty() ? json.Null("link_error") : json.String("link_error", linkError);
    json.EndObject();
    return json.Text();
}

std::string MonitorState(const CRemoteMonitorView& monitor)
{
    const bool failed = !monitor.LastResult.empty() ? monitor.LastResult != "ok" : monitor.Failures > 0;
    if (!failed)
        return "ok";
    if (monitor.Limit > 0 && monitor.ResetsUsed >= monitor.Limit)
        return "limit reached";
    return monitor.ResetsUsed > 0 ? "cycling" : "failing";
}

std::string MonitorJson(const CRemoteMonitorView& monitor)
{
    CJsonWriter json;
    json.BeginObject()
        .String("name", monitor.EventName)
        .String("target", MaskCredentials(monitor.Target))
        .String("kind", monitor.Kind)
        .Number("failures", monitor.Failures)
        .Number("resets_used", monitor.ResetsUsed)
        .Number("limit", monitor.Limit)
        .String("last_result", !monitor.LastResult.empty() ? monitor.LastResult
                                                           : monitor.Failures == 0 ? "ok" : "no answer")
        .String("state", MonitorState(monitor))
        .EndObject();
    return json.Text();
}

std::string EventJson(const std::string& time, const std::string& level, const std::string& text)
{
    CJsonWriter json;
    json.BeginObject().String("time", time).String("level", level).String("text", text).EndObject();
    return json.Text();
}

bool SplitLogEntry(const std::string& line, std::string& time, std::string& level, std::string& text)
{
    const auto first = line.find(',');
    if (first == std::string::npos)
        return false;
    const auto second = line.find(',', first + 1);
    if (second == std::string::npos)
        return false;
    time = line.substr(0, first);
    level = line.substr(first + 1, second - first - 1);
    auto end = line.size();
    while (end > second + 1 && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    text = line.substr(second + 1, end - second - 1);
    return true;
}

CRemoteDeviceInfo DeviceInfoOf(const CQuillmereDeviceStatus& status)
{
    return {FirmwareText(status.GetFirmware()), status.GetIccid()};
}

std::string MonitorTopic(const CRemoteConfig& config, const std::string& eventName)
{
    return config.BaseTopic() + "/monitor/" + TopicLevel(eventName) + "/state";
}

std::string DiscoveryFilter(const CRemoteConfig& config)
{
    return config.DiscoveryPrefix + "/+/quillmere_" + config.Site + "/+/config";
}

std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(const CRemoteConfig& config,
                                                                  const std::vector<CRemoteRelayView>& relays,
                                                                  const std::vector<std::string>& monitors,
                                                                  const CRemoteDeviceInfo& device)
{
    const std::string base = config.BaseTopic();
    std::vector<std::pair<std::string, std::string>> configs;
    for (const CRemoteRelayView& relay : relays)
    {
        if (relay.Permission < 0)
            continue;
        const std::string n = std::to_string(relay.Index);
        const std::string name = relay.Name.empty() ? "Relay " + n : relay.Name;
        const std::string stateTopic = base + "/relay/" + n + "/state";
        const std::string setTopic = base + "/relay/" + n + "/set";
        // A relay numbered outside the unit's range is shown, but offers nothing the command
        // reader would refuse.
        const bool commandable =
            config.Commands && relay.Index >= CRemoteCommand::kFirstRelay && relay.Index <= CRemoteCommand::kLastRelay;
        if (commandable && RelayPermissionAllowsSwitch(relay.Permission))
        {
            CJsonWriter json = Entity(config, device, "relay" + n, name);
            json.String("state_topic", stateTopic).String("command_topic", setTopic).String("payload_on", "ON")
                .String("payload_off", "OFF").EndObject();
            configs.emplace_back(DiscoveryTopic(config, "switch", "relay" + n), json.Text());
        }
        else
        {
            CJsonWriter json = Entity(config, device, "relay" + n, name);
            json.String("state_topic", stateTopic).String("payload_on", "ON").String("payload_off", "OFF")
                .String("device_class", "power").EndObject();
            configs.emplace_back(DiscoveryTopic(config, "binary_sensor", "relay" + n), json.Text());
        }
        if (commandable && RelayPermissionAllowsCycle(relay.Permission))
        {
            CJsonWriter json = Entity(config, device, "relay" + n + "_cycle", name + " power cycle");
            json.String("command_topic", setTopic).String("payload_press", "CYCLE").EndObject();
            configs.emplace_back(DiscoveryTopic(config, "button", "relay" + n + "_cycle"), json.Text());
        }
    }

    const std::string statusTopic = base + "/status";
    struct Sensor
    {
        const char* component;
        const char* id;
        const char* name;
        const char* valueTemplate;
        const char* deviceClass;
        const char* unit;
        bool diagnostic;
        bool measurement;
    };
    // A value the unit has not reported yet is null in the status. The templates say so with
    // the one payload Home Assistant reads as "unknown" rather than as a value (the text
    // None), and only when the field is not of its kind, so a firmware or signal never
    // shows as a value before the unit told it.
    static constexpr Sensor sensors[] = {
        {"sensor", "signal", "Signal",
         "{% if value_json.rssi_dbm is number %}{{ value_json.rssi_dbm }}{% else %}None{% endif %}",
         "signal_strength", "dBm", true, true},
        {"sensor", "uptime", "Uptime", "{{ value_json.uptime }}", "duration", "s", true, false},
        {"sensor", "firmware", "Firmware",
         "{% if value_json.firmware is string %}{{ value_json.firmware }}{% else %}None{% endif %}", nullptr,
         nullptr, true, false},
        {"sensor", "gsm", "GSM", "{{ value_json.gsm }}", nullptr, nullptr, true, false},
        {"binary_sensor", "door", "Door", "{{ 'ON' if value_json.door == 'open' else 'OFF' }}", "door", nullptr, false,
         false},
    };
    for (const Sensor& sensor : sensors)
    {
        CJsonWriter json = Entity(config, device, sensor.id, sensor.name);
        json.String("state_topic", statusTopic).String("value_template", sensor.valueTemplate);
        if (sensor.deviceClass != nullptr)
            json.String("device_class", sensor.deviceClass);
        if (sensor.unit != nullptr)
            json.String("unit_of_measurement", sensor.unit);
        if (sensor.diagnostic)
            json.String("entity_category", "diagnostic");
        if (sensor.measurement)
            json.String("state_class", "measurement");
        json.EndObject();
        configs.emplace_back(DiscoveryTopic(config, sensor.component, sensor.id), json.Text());
    }

    // Each network monitor is a problem from its first failure until its host answers again.
    for (const std::string& monitor : monitors)
    {
        const std::string id = "monitor_" + ObjectId(monitor);
        CJsonWriter json = Entity(config, device, id, monitor, false);
        json.String("state_topic", MonitorTopic(config, monitor))
            .String("value_template", "{{ 'OFF' if value_json.state == 'ok' else 'ON' }}")
            .String("device_class", "problem")
            .EndObject();
        configs.emplace_back(DiscoveryTopic(config, "binary_sensor", id), json.Text());
    }
    return configs;
}
