#pragma once

#include <QObject>
#include <csignal>
#include <functional>
#include <iterator>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (a logout, a service stop, Ctrl+C) end the program the way a
// close request from the system does. The handler only notes the request and writes the
// signal number into a pipe; the UI thread reads it through a socket notifier and calls the
// handler given here. The note outlives the watch, so a signal during start-up or shutdown,
// when no loop reads the pipe, still cancels a restart and ends the run.
class CTerminationSignals : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(int signalNumber)>;

    explicit CTerminationSignals(QObject* parent = nullptr);
    ~CTerminationSignals() override;   // puts the default actions back

    // False when the pipe or a handler cannot be set up; then the signals keep their
    // default actions. Only one object may be installed at a time.
    bool Install(Handler handler);

    static constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

    // From the first line of main: every termination signal from then on is noted instead of
    // killing the process unsaved. Also lets through signals that a restart kept blocked.
    static void NoteFromNowOn();
    static bool WasRequested();
    // Keeps the signals pending in the calling thread, so that one arriving while the process
    // replaces itself is delivered to the new program instead of being lost in between.
    static void BlockInThisThread();

private:
    void OnReadable();
    void Uninstall();

    Handler m_handler;
    struct sigaction m_previous[std::size(Signals)]{};
    QSocketNotifier* m_notifier = nullptr;
    int m_readFd = -1;
    int m_writeFd = -1;
};
