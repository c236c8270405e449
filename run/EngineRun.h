#pragma once

#include <memory>
#include <string>

#include "config/AppSettings.h"
#include "control/ControlServer.h"
#include "core/Clock.h"
#include "config/SettingsFile.h"
#include "device/QuillmereManager.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "remote/RemoteBridge.h"
#include "remote/RemoteConfig.h"

class IRestartHost;
class ITimerService;

// What differs between the programs that run the engine; the rest of a run is the same.
struct CEngineRunPlugs
{
    // Qt timers in the window program, CEngineTimerService in the service; null in a bench
    // that drives the manager by hand. Must outlive the run.
    ITimerService* Timers = nullptr;
    // How a broker command reaches the thread the timers run on. Empty: commands are dropped.
    CRemoteBridge::Poster Post;
    // Who closes and restarts the program when the memory watchdog asks. The window program
    // leaves it null: its main window names itself while it exists.
    IRestartHost* RestartHost = nullptr;
    // A descriptor the log mirrors every line to (the journal), or -1.
    int JournalFd = -1;
    // The time the manager, the link, the log and the broker bridge read; a test or a bench
    // may give one it moves. Must outlive the run.
    const IClock* Clock = &IClock::System();
    // Where quillmere-monitorctl finds the program (empty: no control socket), and the group
    // whose members may use it besides the program's own user and root (empty: none).
    std::string ControlSocketPath;
    std::string ControlGroup;
};

// One run of the engine from its first line to its last: the long-lived parts made in one
// order (manager, settings read, link, log, broker bridge; the monitors come with the
// settings), started, reloaded and stopped in one order. Made, begun and ended on the thread
// the timers run on; destroyed in reverse order of creation.
class CEngineRun
{
public:
    static constexpr const char* kStartedText = "Application Started";
    static constexpr const char* kTerminatedText = "Application terminated";

    // Makes the parts and reads settings.xml; writes nothing, logs nothing.
    explicit CEngineRun(CEngineRunPlugs plugs);
    // Ends the run first if it was begun and not yet ended.
    ~CEngineRun();
    CEngineRun(const CEngineRun&) = delete;
    CEngineRun& operator=(const CEngineRun&) = delete;

    // No settings file was there before this run read it: the first start on this machine.
    bool IsFirstStart() const { return m_reading.Result == CSettingsReading::Outcome::Missing; }
    // settings.xml is there but could not be read: the defaults run in its place.
    bool IsSettingsUnreadable() const { return m_reading.Result == CSettingsReading::Outcome::Unreadable; }
    const CSettingsReading& GetSettingsReading() const { return m_reading; }
    const CRemoteConfigResult& GetRemoteConfig() const { return m_remoteConfig; }

    // "Application Started" (the bridge hears it, although mqtt.conf is read after it), any
    // line about the settings file, then the bridge's Start (without mqtt.conf: nothing). An
    // unreadable settings file is first copied beside itself, and the line names the copy.
    void Begin();
    // Instead of Begin, for a program that will not run on what it read: the one Error line,
    // and nothing else is started or written. The run may then only be destroyed.
    void Refuse(const std::string& line);
    // The engine's own work: the link, the poll and the monitors' timers.
    void StartEngine();
    // Stops, waits, reads the files again and starts again; a settings file that does not
    // parse leaves what runs as it was, and the bridge restarts only when mqtt.conf now reads
    // differently. Empty when the settings were read again, else why the ones in use stay.
    std::string Reload();
    // Control socket closed, manager stopped, its threads joined, settings saved, held flood counts, "Application
    // terminated", the bridge stopped (so the broker hears the last line too). Once.
    void End();

    CQuillmereManager& Manager() { return m_manager; }
    CAppSettings& Settings() { return m_settings; }
    CQMNetLink& Link() { return m_link; }
    CLog& Log() { return m_log; }
    CRemoteBridge& Remote() { return *m_remote; }
    const CRemoteBridge& Remote() const { return *m_remote; }
    CControlServer& Control() { return *m_control; }

private:
    bool m_begun = false;
    bool m_ended = false;
    bool m_ownsRestartHost = false;
    CSettingsFile m_settingsFile;
    CSettingsReading m_reading;          // what the start found in settings.xml
    CRemoteConfigResult m_remoteConfig;   // as last read, to tell whether a reload changed it

    CQuillmereManager m_manager;
    CAppSettings m_settings;
    CQMNetLink m_link;
    CLog m_log;
    // Made once the manager has its settings, link and log, which the bridge looks at.
    std::unique_ptr<CRemoteBridge> m_remote;
    std::unique_ptr<CControlServer> m_control;
    std::string m_controlPath;
    std::string m_controlGroup;
};
