#include "TerminationSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace
{
// The write end for the handler; -1 while nothing is installed.
std::atomic<int> g_writeFd{-1};
std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "set from a signal handler");

extern "C" void OnTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    g_requested.store(true);
    const int fd = g_writeFd.load();
    if (fd >= 0)
    {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a pending request; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void SetAction(int signalNumber, void (*handler)(int), struct sigaction* previous = nullptr)
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, previous);
}

sigset_t TerminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : CTerminationSignals::Signals)
        sigaddset(&set, signalNumber);
    return set;
}
}

void CTerminationSignals::NoteFromNowOn()
{
    for (const int signalNumber : Signals)
        SetAction(signalNumber, &OnTerminationSignal);
    const sigset_t set = TerminationSet();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool CTerminationSignals::WasRequested()
{
    return g_requested.load();
}

void CTerminationSignals::BlockInThisThread()
{
    const sigset_t set = TerminationSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent) {}

CTerminationSignals::~CTerminationSignals()
{
    Uninstall();
}

bool CTerminationSignals::Install(Handler handler)
{
    if (m_readFd >= 0 || g_writeFd.load() >= 0)
        return false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_readFd = fds[0];
    m_writeFd = fds[1];
    m_handler = std::move(handler);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CTerminationSignals::OnReadable);
    g_writeFd.store(m_writeFd);
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        SetAction(Signals[i], &OnTerminationSignal, &m_previous[i]);
    return true;
}

void CTerminationSignals::Uninstall()
{
    if (m_readFd < 0)
        return;
    // What was there before: the default, or the note kept from the start of main.
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &m_previous[i], nullptr);
    g_writeFd.store(-1);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(m_writeFd);
    ::close(m_readFd);
    m_readFd = m_writeFd = -1;
}

void CTerminationSignals::OnReadable()
{
    unsigned char buffer[32];
    int last = 0;
    ssize_t count = 0;
    while ((count = ::read(m_readFd, buffer, sizeof buffer)) > 0)
        last = buffer[count - 1];
    if (last != 0 && m_handler)
        m_handler(last);
}
