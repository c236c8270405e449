#include "EngineRun.h"

#include <unistd.h>

#include <cerrno>

#include "core/DataFolder.h"
#include "core/TimerService.h"

namespace
{
bool SameRemoteConfig(const CRemoteConfigResult& a, const CRemoteConfigResult& b)
{
    return a.State == b.State && a.Config == b.Config && a.Error == b.Error;
}

CRemoteBridge::Poster PosterOrDrop(CRemoteBridge::Poster post)
{
    if (post)
        return post;
    return [](CRemoteBridge::Task) {};
}
}

// Made in the order of the members (manager, settings, link, log), wired in that order, and
// the bridge last: it observes what the manager has; destroyed in reverse order.
CEngineRun::CEngineRun(CEngineRunPlugs plugs)
{
    m_manager.SetTimerService(plugs.Timers);
    m_ownsRestartHost = plugs.RestartHost != nullptr;
    if (m_ownsRestartHost)
        m_manager.SetRestartHost(plugs.RestartHost);
    m_firstStart = access(CAppSettings::GetSettingsFilePath().c_str(), F_OK) != 0 && errno == ENOENT;
    // What cannot be read keeps the defaults; Begin says why when there was a file.
    m_settings.Load(&m_settingsError);
    m_manager.SetSettings(&m_settings);
    m_manager.SetLinkEngine(&m_link);
    if (plugs.JournalFd >= 0)
        m_log.MirrorToJournal(plugs.JournalFd);
    m_log.Open();
    m_manager.SetLog(&m_log);
    const CRemoteBridge::Poster post = PosterOrDrop(std::move(plugs.Post));
    m_remote = std::make_unique<CRemoteBridge>(&m_manager, post);
    // Its orders reach the manager the way the broker's do.
    m_control = std::make_unique<CControlServer>(&m_manager, post);
    m_controlPath = std::move(plugs.ControlSocketPath);
    m_controlGroup = std::move(plugs.ControlGroup);
}

CEngineRun::~CEngineRun()
{
    if (m_begun)
        End();
}

void CEngineRun::Begin()
{
    m_begun = true;
    // The broker's event topic gets the run's lines from the first one on.
    m_remote->ListenToLogEarly();
    m_log.Write(LogEntryLevel::Event, kStartedText);
    if (!m_settingsError.empty())
        m_log.Write(LogEntryLevel::Error, "Settings not read: " + CAppSettings::GetSettingsFilePath() + " " +
                                              m_settingsError + "; the defaults run");
    m_remoteConfig = LoadRemoteConfig(GetDataFolder());
    m_remote->Start();
    if (!m_controlPath.empty())
        m_control->Start(m_controlPath, m_controlGroup);
}

void CEngineRun::StartEngine()
{
    m_manager.Connect();
    m_manager.StartPolling();
    m_manager.StartMonitorTimers();
}

std::string CEngineRun::Reload()
{
    // As leaving the Settings page: the manager stops, the worker ends, and everything starts
    // again with what the file now says. The file is read once, after the stop; one that does
    // not parse changes nothing (the settings in use stay) and is said with its line.
    m_manager.Stop();
    m_manager.WaitForThreads();
    std::string why;
    if (m_settings.Load(&why))
    {
        // One record for the whole file: the manager logs the settings as one Event line and
        // the broker bridge takes the new relay names.
        m_settings.NotifySettingsChanged();
    }
    else if (!why.empty())
    {
        why = "Settings not read again: " + CAppSettings::GetSettingsFilePath() + " " + why +
              "; the settings in use stay";
        m_log.Write(LogEntryLevel::Error, why);
    }
    StartEngine();

    // The broker connection is left alone unless its file now says something else.
    CRemoteConfigResult remote = LoadRemoteConfig(GetDataFolder());
    if (!SameRemoteConfig(remote, m_remoteConfig))
    {
        m_remote->Stop();
        m_remote->Start();
    }
    m_remoteConfig = std::move(remote);
    return why;
}

void CEngineRun::End()
{
    if (m_ended)
        return;
    m_ended = true;
    // No new order from a shell once the end has begun.
    m_control->Stop();
    m_manager.Stop();
    // Stop only asks; the link worker and the ping checks use the manager, the log and the
    // settings until they have ended.
    m_manager.WaitForThreads();
    // A failed save is said before the last line; the bridge stays attached until after it,
    // so the broker's event topic hears the end too.
    m_settings.Save();
    m_log.SumUpFloods();
    m_log.Write(LogEntryLevel::Event, kTerminatedText);
    m_remote->Stop();
    if (m_ownsRestartHost)
        m_manager.SetRestartHost(nullptr);
}
