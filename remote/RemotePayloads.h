#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

class CQuillmereDeviceStatus;
class CRemoteConfig;

// What the bridge knows of one relay: the operator's name and permission from the settings,
// and the state the unit last reported (-1 unknown, 0 on, 1 off as the status model has it).
struct CRemoteRelayView
{
    std::int32_t Index = 0;
    std::string Name;
    std::int32_t Permission = -1;   // -1: the unit reports a relay the settings do not name
    std::int32_t State = -1;
};

struct CRemoteMonitorView
{
    std::string EventName;   // the name as the settings have it, whatever its bytes
    std::string Target;
    std::int32_t Failures = 0;
    std::int32_t ResetsUsed = 0;
    std::int32_t Limit = 0;
    std::string Kind;         // "ping", "tcp", "http", "https" or "invalid"
    std::string LastResult;   // "ok", what the last check found wrong, or empty before one
};

// "ON" / "OFF" for the relay state topics; empty for an unknown state.
std::string RelayStateText(std::int32_t state);

// The retained status document: the whole status model, the relays and the link's last
// error (empty for none).
std::string StatusJson(const CQuillmereDeviceStatus& status, const std::vector<CRemoteRelayView>& relays,
                       const std::string& linkError);

// What a monitor's problem sensor reads: "ok" before its first failure and once its target
// answers again; "failing" from its first failed check; "cycling" once it power-cycled its
// relay (and the target has not answered since); "limit reached" once it used every reset.
// Unlike the failure count, which starts again at each threshold and in the grace period.
std::string MonitorState(const CRemoteMonitorView& monitor);
std::string MonitorJson(const CRemoteMonitorView& monitor);
std::string EventJson(const std::string& time, const std::string& level, const std::string& text);

// A log line as the log raises it ("date,level,description" and a line break) split into its
// parts; false for a line that does not have them.
bool SplitLogEntry(const std::string& line, std::string& time, std::string& level, std::string& text);

// What the discovery's device block says of the site beyond its name; empty for not known yet.
struct CRemoteDeviceInfo
{
    std::string Firmware;
    std::string Iccid;
    bool operator==(const CRemoteDeviceInfo&) const = default;
};

CRemoteDeviceInfo DeviceInfoOf(const CQuillmereDeviceStatus& status);

// "<prefix>/<site>/monitor/<level>/state" for a monitor's event name (TopicLevel's form).
std::string MonitorTopic(const CRemoteConfig& config, const std::string& eventName);

// Home Assistant discovery: (topic, config) for every entity of this site, the network
// monitors (by event name) included.
std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(const CRemoteConfig& config,
                                                                  const std::vector<CRemoteRelayView>& relays,
                                                                  const std::vector<std::string>& monitors,
                                                                  const CRemoteDeviceInfo& device);
// The filter that matches every discovery topic DiscoveryConfigs can give for this site.
std::string DiscoveryFilter(const CRemoteConfig& config);
