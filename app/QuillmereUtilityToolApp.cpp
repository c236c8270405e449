#include "QuillmereUtilityToolApp.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cstdio>

#include "TerminationSignals.h"
#include "control/ControlProtocol.h"
#include "core/SingleInstanceLock.h"
#include "run/EngineRun.h"
#include "ui/QtTimerService.h"
#include "ui/QuillmereSheet.h"

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

    // Commands from the broker reach the manager on this thread, through the event loop;
    // tasks still queued when the context goes are dropped with it.
    QObject remoteContext;
    CEngineRun run({.Timers = &timers, .Post = [&remoteContext](CRemoteBridge::Task task) {
                        QMetaObject::invokeMethod(&remoteContext, std::move(task), Qt::QueuedConnection);
                    },
                    .ControlSocketPath = WindowControlSocketPath(),
                    .ControlGroup = {}});   // this account and root only
    run.Begin();

    {
        // A first start opens on the Settings page, where the port is chosen, and so does a
        // start whose settings file could not be read (the defaults are shown, the file was
        // kept); later starts go to the tray. The sheet starts the engine once its windows
        // listen.
        const bool showSettings = run.IsFirstStart() || run.IsSettingsUnreadable();
        CQuillmereSheet sheet(&run.Manager(), QString::fromLatin1(CQuillmereSheet::Caption),
                              showSettings ? CQuillmereSheet::SettingsPage : 0);
        if (showSettings)
            sheet.ShowAtStart();
        if (run.IsSettingsUnreadable())
            sheet.ShowStartError(QStringLiteral("The settings file could not be read; the defaults are shown."));
        sheet.setWindowTitle(QString::fromLatin1(CQuillmereSheet::Caption));
        runningSheet = &sheet;
        if (closeRequested)
            QTimer::singleShot(0, &sheet, [&sheet] { sheet.CloseWithoutQuestion(); });
        sheet.DoModal();
        runningSheet = nullptr;
        m_restartRequested = sheet.IsRestartRequested();
        // While the windows still listen: the worker and the checks may raise to them until
        // they have ended.
        run.End();
    }
    // Asked to end by a signal at any moment, the shutdown included: that wins over a restart
    // the watchdog wanted.
    m_restartRequested = m_restartRequested && !CTerminationSignals::WasRequested();
    return false;
}
