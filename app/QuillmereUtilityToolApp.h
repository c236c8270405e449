#pragma once

// The program from start to end: one instance per session, the long-lived objects made and
// wired in a fixed order, the main window run until it closes, then an orderly shutdown
// that stops every thread before anything it uses goes away.
class CQuillmereUtilityToolApp
{
public:
    CQuillmereUtilityToolApp(int& argc, char** argv);

    // Runs the whole program; false on every path, as there is nothing left to run after
    // it. A second instance returns at once having done nothing.
    bool InitInstance();

    // The memory watchdog asked for a fresh process; the caller replaces this one once
    // InitInstance has returned and everything, the instance lock included, is released.
    bool IsRestartRequested() const { return m_restartRequested; }
    bool WasSecondInstance() const { return m_secondInstance; }

private:
    int& m_argc;
    char** m_argv;
    bool m_restartRequested = false;
    bool m_secondInstance = false;
};
