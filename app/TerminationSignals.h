#pragma once

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (a logout, a service stop, Ctrl+C) end the program the way a
// close request from the system does. The handler only writes the signal number into a
// pipe; the UI thread reads it through a socket notifier and calls the handler given here.
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

private:
    void OnReadable();
    void Uninstall();

    Handler m_handler;
    QSocketNotifier* m_notifier = nullptr;
    int m_readFd = -1;
    int m_writeFd = -1;
};
