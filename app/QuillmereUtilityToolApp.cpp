#include "QuillmereUtilityToolApp.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "TerminationSignals.h"
#include "config/AppSettings.h"
#include "core/SingleInstanceLock.h"
#include "device/QuillmereManager.h"
#include "link/QMNetLink.h"
#include "log/Log.h"
#include "remote/RemoteBridge.h"
#include "ui/QtTimerService.h"
#include "ui/QuillmereSheet.h"

namespace
{
constexpr const char* kStartedText = "Application Started";
constexpr const char* kTerminatedText = "Application terminated";
}

CQuillmereUtilityToolApp::CQuillmereUtilityToolApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

bool CQuillmereUtilityToolApp::InitInstance()
{
    // Declared first so that it is released last, after every object below is gone.
    CSingleInstanceLock instanceLock;
    if (!instanceLock.Acquire())
    {
        std::fprintf(stderr, "quillmere-monitor: %s is in use by %s\n", instanceLock.GetRefusedLock().c_str(),
                     instanceLock.GetHolder().c_str());
        m_secondInstance = true;
        return false;
    }

    QApplication application(m_argc, m_argv);
    // The window hides to the tray and dialogs come and go; only the sheet ends the run.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Quillmere Monitor"));
    QApplication::setDesktopFileName(QStringLiteral("quillmere-monitor"));

    // Made before the manager so that it outlives every timer the manager sets.
    CQtTimerService timers;
    CTerminationSignals signalWatch;
    // Installed before anything is logged: a signal during start-up waits in the pipe until
    // the sheet's loop runs, instead of ending the process without its normal shutdown.
    CQuillmereSheet* runningSheet = nullptr;
    bool closeRequested = false;
    signalWatch.Install([&runningSheet, &closeRequested](int) {
        if (runningSheet != nullptr)
            runningSheet->CloseWithoutQuestion();
        else
            closeRequested = true;   // read while starting up: kept for when the loop runs
    });
    // One that came before the watch, even before this program replaced an older one.
    closeRequested = CTerminationSignals::WasRequested();

    CQuillmereManager manager;
    manager.SetTimerService(&timers);
    CAppSettings settings;
    // No settings file yet: the first start of the program on this machine.
    const bool firstStart = access(CAppSettings::GetSettingsFilePath().c_str(), F_OK) != 0 && errno == ENOENT;
    settings.Load();
    manager.SetSettings(&settings);
    CQMNetLink link;
    manager.SetLinkEngine(&link);
    CLog log;
    log.Open();
    manager.SetLog(&log);

    // Commands from the broker reach the manager on this thread, through the event loop;
    // tasks still queued when the context goes are dropped with it.
    QObject remoteContext;
    CRemoteBridge remote(&manager, [&remoteContext](CRemoteBridge::Task task) {
        QMetaObject::invokeMethod(&remoteContext, std::move(task), Qt::QueuedConnection);
    });
    // The broker's event topic gets the run's lines from the first one on, although mqtt.conf
    // is read after it.
    remote.ListenToLogEarly();
    log.Write(LogEntryLevel::Event, kStartedText);
    remote.Start();   // without mqtt.conf: nothing at all

    {
        // A first start opens on the Settings page, where the port is chosen; later starts
        // go to the tray.
        CQuillmereSheet sheet(&manager, QString::fromLatin1(CQuillmereSheet::Caption),
                              firstStart ? CQuillmereSheet::SettingsPage : 0);
        if (firstStart)
            sheet.ShowAtStart();
        sheet.setWindowTitle(QString::fromLatin1(CQuillmereSheet::Caption));
        runningSheet = &sheet;
        if (closeRequested)
            QTimer::singleShot(0, &sheet, [&sheet] { sheet.CloseWithoutQuestion(); });
        sheet.DoModal();
        runningSheet = nullptr;
        m_restartRequested = sheet.IsRestartRequested();

        manager.Stop();
        // Stop only asks; the link worker and the ping checks still use the manager, the
        // log and the settings until they have ended.
        manager.WaitForThreads();
        // A failed save is said before the last line; the bridge stays attached until after
        // it, so the broker's event topic hears the end too.
        settings.Save();
        remote.WriteHeldCounts();
        log.SumUpFloods();
        log.Write(LogEntryLevel::Event, kTerminatedText);
        remote.Stop();
    }
    // Asked to end by a signal at any moment, the shutdown included: that wins over a restart
    // the watchdog wanted.
    m_restartRequested = m_restartRequested && !CTerminationSignals::WasRequested();
    return false;
}
