#include "ConfigCheck.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "config/AppSettings.h"
#include "config/SettingsFile.h"
#include "core/DirectoryTree.h"
#include "config/LogLevelValue.h"
#include "core/DataFolder.h"
#include "device/QuillmereManager.h"
#include "link/QMNetSerialPort.h"
#include "netmon/MonitorAction.h"
#include "netmon/NetworkMonitor.h"
#include "remote/RemoteConfig.h"

std::string ServiceRefusal(const CSettingsReading& settings, const CRemoteConfigResult& remote)
{
    const std::string settingsPath = CAppSettings::GetSettingsFilePath();
    switch (settings.Result)
    {
    case CSettingsReading::Outcome::Unreadable:
        return "Settings not read: " + settingsPath + " " + settings.Why + "; the service does not start";
    case CSettingsReading::Outcome::Missing:
        // No operator is there to see what the defaults would do on this site.
        return "Settings not read: " + settingsPath +
               " is missing; the service does not start (quillmere-monitord --write-settings writes the default "
               "document to edit)";
    default:
        break;
    }
    if (remote.State == RemoteConfigState::Invalid)
        return "Broker settings not read: " + JoinPath(GetDataFolder(), remote.Error) + "; the service does not start";
    return {};
}

int WriteDefaultSettings(std::ostream& out, std::ostream& err)
{
    const std::string path = CAppSettings::GetSettingsFilePath();
    struct stat info{};
    if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT)
    {
        err << path << " is already there; nothing written\n";
        return 1;
    }
    const CAppSettings defaults;
    if (!CreateDirectoryTree(GetDataFolder()) || !defaults.SaveToFile(path))
    {
        err << path << ": " << std::strerror(errno) << "; nothing written\n";
        return 1;
    }
    out << path << " written with the defaults: set ComPort and the monitors, then start the service\n";
    return 0;
}

int CheckConfiguration(std::ostream& out, std::ostream& err)
{
    const std::string folder = GetDataFolder();
    const std::string settingsPath = CAppSettings::GetSettingsFilePath();
    CAppSettings settings;
    // The reader and the verdict the service itself uses, so the two never disagree.
    CSettingsFile file(settingsPath);
    const CSettingsReading reading = file.Read(settings, true);
    const CRemoteConfigResult remote = LoadRemoteConfig(folder);
    if (const std::string refusal = ServiceRefusal(reading, remote); !refusal.empty())
    {
        err << refusal << "\n";
        return 1;
    }
    // Read, but not all as written: the service runs on what the lines say it took.
    for (const std::string& note : reading.Notes)
        err << settingsPath << " " << note << "\n";

    out << "data folder: " << folder << "\n";
    out << "settings: " << settingsPath << "\n";
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
