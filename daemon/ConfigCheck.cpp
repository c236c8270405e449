#include "ConfigCheck.h"

#include <ostream>
#include <string>

#include "config/AppSettings.h"
#include "config/LogLevelValue.h"
#include "core/DataFolder.h"
#include "device/QuillmereManager.h"
#include "link/QMNetSerialPort.h"
#include "netmon/MonitorAction.h"
#include "netmon/NetworkMonitor.h"
#include "remote/RemoteConfig.h"

int CheckConfiguration(std::ostream& out, std::ostream& err)
{
    const std::string folder = GetDataFolder();
    const std::string settingsPath = CAppSettings::GetSettingsFilePath();
    CAppSettings settings;
    std::string why;
    const bool read = settings.LoadFromFile(settingsPath, &why);
    if (!read && !why.empty())
    {
        err << settingsPath << " " << why << "\n";
        return 1;
    }
    const CRemoteConfigResult remote = LoadRemoteConfig(folder);
    if (remote.State == RemoteConfigState::Invalid)
    {
        err << JoinPath(folder, remote.Error) << "\n";
        return 1;
    }

    out << "data folder: " << folder << "\n";
    out << "settings: " << settingsPath << (read ? "" : " (not there: the defaults)") << "\n";
    const int port = settings.GetComPort();
    const std::string device = CQMNetSerialPort::DevicePathFor(port);
    out << "port: COM" << port << " (" << (device.empty() ? std::string("no such port") : device) << ") at "
        << settings.GetBaudRate() << " baud, polled every "
        << CQuillmereManager::TimerPeriodMs(settings.GetStatusPollIntervalInMinutes()) / 60000 << " min\n";
    out << "log level: " << LogLevelValueToText(settings.GetLogLevel()) << "\n";
    if (settings.IsMemoryCheckEnabled())
        out << "memory watchdog: restart above " << static_cast<std::uint32_t>(settings.GetMaxMemorySizeInBytes())
            << " bytes of private memory\n";
    else
        out << "memory watchdog: off\n";
    for (const CRelaySetting* relay : settings.GetRelaySettings())
        out << "relay " << relay->GetIndex() << ": " << relay->GetName() << "\n";
    // The service's own judge of a target: a monitor it would leave off is named here too.
    int monitorsOff = 0;
    for (const auto& monitor : settings.GetNetworkMonitors())
    {
        out << "monitor " << monitor->GetEventName() << ": " << MaskCredentials(monitor->GetTarget()) << " every "
            << CQuillmereManager::TimerPeriodMs(monitor->GetPollIntervalInMinutes()) / 60000 << " min, "
            << MonitorActionToText(monitor->GetAction()) << " relay " << monitor->GetRelayIndex() << ", grace "
            << monitor->GetGraceMinutes() << " min\n";
        const std::string refusal = TargetRefusal(*monitor);
        if (!refusal.empty())
        {
            err << refusal << "\n";
            ++monitorsOff;
        }
    }
    switch (remote.State)
    {
    case RemoteConfigState::Absent:
        out << "broker: none (no " << CRemoteConfig::kFileName << ")\n";
        break;
    case RemoteConfigState::Disabled:
        out << "broker: off (enabled = false)\n";
        break;
    default:
        out << "broker: " << remote.Config.Host << ":" << remote.Config.EffectivePort() << " as "
            << remote.Config.BaseTopic() << (remote.Config.UsesTls() ? ", TLS" : "")
            << (remote.Config.Commands ? ", commands taken" : ", status only") << "\n";
        break;
    }
    return monitorsOff == 0 ? 0 : 1;
}
