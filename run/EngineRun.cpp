#include "EngineRun.h"

#include <cstdio>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"

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
// the bridge and the control server last: they look at what the manager has; destroyed in
// reverse order.
CEngineRun::CEngineRun(CEngineRunPlugs plugs) : m_settingsFile(CAppSettings::GetSettingsFilePath())
{
    m_manager.SetTimerService(plugs.Timers);
    // Every timed part of the run reads the one clock it is given.
    m_manager.SetClock(*plugs.Clock);
    m_log.SetClock(*plugs.Clock);
    m_ownsRestartHost = plugs.RestartHost != nullptr;
    if (m_ownsRestartHost)
        m_manager.SetRestartHost(plugs.RestartHost);
    // A folder that cannot be made shows up as a file that cannot be read.
    CreateDirectoryTree(GetDataFolder());
    // What cannot be read keeps the defaults; Begin says why when there was a file.
    m_reading = m_settingsFile.Read(m_settings);
    m_remoteConfig = LoadRemoteConfig(GetDataFolder());
    m_manager.SetSettings(&m_settings);
    m_manager.SetLinkEngine(&m_link);
    if (plugs.JournalFd >= 0)
        m_log.MirrorToJournal(plugs.JournalFd);
    m_log.Open();
    m_manager.SetLog(&m_log);
    const CRemoteBridge::Poster post = PosterOrDrop(std::move(plugs.Post));
    m_remote = std::make_unique<CRemoteBridge>(&m_manager, post, *plugs.Clock);
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
    if (IsSettingsUnreadable())
    {
        // The operator's bytes are kept before anything can be written over them.
        std::string why;
        const std::string copy = m_settingsFile.KeepUnreadable(&why);
        std::string line = "Settings not read: " + m_settingsFile.Path() + " " + m_reading.Why;
        if (!copy.empty())
            line += "; kept as " + copy;
        else if (!why.empty())
            line += "; no copy could be kept (" + why + "), so it will not be written over";
        m_log.Write(LogEntryLevel::Error, line + "; the defaults run");
    }
    m_remote->Start();
    if (!m_controlPath.empty())
        m_control->Start(m_controlPath, m_controlGroup);
}

void CEngineRun::Refuse(const std::string& line)
{
    m_log.Write(LogEntryLevel::Error, line);
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
    // What the run has learnt (each monitor's failures and power cycles) stays with the
    // monitors the file still names; only what the operator changed changes.
    const CSettingsReading reading = m_settingsFile.ReadAgain(m_settings);
    std::string why;
    if (reading.Result == CSettingsReading::Outcome::Read)
    {
        // One record for the whole file: the manager logs the settings as one Event line and
        // the broker bridge takes the new relay names.
        m_settings.NotifySettingsChanged();
    }
    else
    {
        const std::string reason = reading.Result == CSettingsReading::Outcome::Missing ? "is missing" : reading.Why;
        why = "Settings not read again: " + m_settingsFile.Path() + " " + reason + "; the settings in use stay";
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
    // so the broker's event topic hears the end too. An edit made on disk meanwhile is kept.
    const CSettingsFile::SaveResult saved = m_settingsFile.Save(m_settings);
    if (!saved.Line.empty())
        m_log.Write(saved.What == CSettingsFile::SaveResult::Kind::Failed ? LogEntryLevel::Error : LogEntryLevel::Event,
                    saved.Line);
    // A folder that takes no file takes no log line either: the operator reads it here.
    if (saved.What == CSettingsFile::SaveResult::Kind::Failed && !m_log.IsOpen())
        std::fprintf(stderr, "%s\n", saved.Line.c_str());
    // Counts held for a summary are said before the last line, so none is lost at a stop.
    m_remote->WriteHeldCounts();
    m_log.SumUpFloods();
    m_log.Write(LogEntryLevel::Event, kTerminatedText);
    m_remote->Stop();
    if (m_ownsRestartHost)
        m_manager.SetRestartHost(nullptr);
}
