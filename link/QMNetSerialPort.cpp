#include "QMNetSerialPort.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/LockHolder.h"

namespace
{
constexpr int kComPerFamily = 32;

struct SpeedEntry
{
    unsigned int baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(unsigned int baud, speed_t* code)
{
    for (const SpeedEntry& entry : kSpeeds)
    {
        if (entry.baud == baud)
        {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

std::int64_t NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Raw 8N1 in the manner of cfmakeraw, except that hardware flow control and the modem
// lines stay as the driver reports them. IXON in particular must go: a fresh tty has it
// on and would swallow 0x11 and 0x13 inside binary frames.
void MakeRaw(termios& tio)
{
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // Reads are paced by poll(); read() itself must never block.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// Whether some session has this terminal as its controlling one: then it is a login or
// another program's console, not an adapter, whatever a ports/ link says. TIOCGSID answers
// only for our own session, so a child in a session of its own asks the terminal itself:
// taking a controlling terminal is refused (EPERM) exactly when another session has it. A
// terminal it did take it gives back before it ends, so its end hangs nothing up. The cost
// is one short-lived child per open (vfork: some tens of microseconds, where a fork copying
// the program's page tables costs milliseconds), whatever the number of processes.
bool IsSomeonesTerminal(int fd)
{
    pid_t sid = 0;
    if (::ioctl(fd, TIOCGSID, &sid) == 0)
        return true;
    const int savedErrno = errno;
    const pid_t child = ::vfork();
    if (child < 0)
        return true;   // unknown: a console written to would be worse than a refused open
    if (child == 0)
    {
        // System calls only: the child borrows the parent's memory until it ends. Its signal
        // dispositions are its own.
        ::signal(SIGHUP, SIG_IGN);   // giving the terminal back hangs up its own group
        if (::setsid() < 0)
            ::_exit(2);
        if (::ioctl(fd, TIOCSCTTY, 0) != 0)
            ::_exit(errno == EPERM ? 1 : 2);
        ::ioctl(fd, TIOCNOTTY);
        ::_exit(0);
    }
    errno = savedErrno;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    return !WIFEXITED(status) || WEXITSTATUS(status) == 1;
}
}

CQMNetSerialPort::~CQMNetSerialPort()
{
    Close();
}

void CQMNetSerialPort::SetLine(int portNumber, int baudRate)
{
    m_portNumber = portNumber;
    m_baudRate = static_cast<unsigned int>(baudRate);
}

std::string CQMNetSerialPort::DevicePathFor(int portNumber)
{
    const std::string link =
        JoinPath(JoinPath(GetDataFolder(), "ports"), "COM" + std::to_string(portNumber));
    struct stat info{};
    if (lstat(link.c_str(), &info) == 0)
        return link;
    if (portNumber < 1)
        return {};
    const int index = portNumber - 1;
    static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    const int family = index / kComPerFamily;
    if (family >= 3)
        return {};
    return families[family] + std::to_string(index % kComPerFamily);
}

LinkStatus CQMNetSerialPort::Fail(const std::string& step, const std::string& path, int error)
{
    m_lastError = step + " " + path + (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
    return LinkStatus::OpenFailed;
}

LinkStatus CQMNetSerialPort::Open()
{
    // A second Open on an open port would leak the first descriptor.
    Close();
    m_timeoutsPending = true;
    m_lastError.clear();

    const std::string path = DevicePathFor(m_portNumber);
    if (path.empty())
        return Fail("no device for", "COM" + std::to_string(m_portNumber), 0);
    speed_t speed{};
    if (!SpeedCode(m_baudRate, &speed))
        return Fail("unsupported speed " + std::to_string(m_baudRate) + " for", path, 0);

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Fail("cannot open", path, errno);
    // A failed open keeps nothing: the lock and the descriptor go with it, and a later Close
    // has nothing to do.
    auto refuse = [&](const std::string& step, int error) {
        ::close(fd);
        return Fail(step, path, error);
    };

    struct stat info{};
    if (!isatty(fd) || ::fstat(fd, &info) != 0)
        return refuse("not a terminal:", errno);
    if (IsSomeonesTerminal(fd))
        return refuse("is a session's controlling terminal:", 0);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int error = errno;
        // Another program on the port is the usual cause and the operator's first question.
        const std::string holder = error == EWOULDBLOCK ? DescribeLockHolder(fd) : std::string();
        if (holder.empty())
            return refuse("cannot lock", error);
        ::close(fd);
        m_lastError = "COM" + std::to_string(m_portNumber) + " (" + path + ") is held by " + holder;
        return LinkStatus::OpenFailed;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return refuse("cannot read the line settings of", errno);
    const termios saved = tio;
    MakeRaw(tio);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0)
        return refuse("cannot set the line of", errno);
    // tcsetattr succeeds when any one change took; read back to see the speed really did.
    termios check{};
    if (tcgetattr(fd, &check) != 0 || cfgetospeed(&check) != speed || (check.c_cflag & CSIZE) != CS8 ||
        (check.c_iflag & IXON) != 0)
    {
        tcsetattr(fd, TCSANOW, &saved);
        return refuse("speed " + std::to_string(m_baudRate) + " refused by", 0);
    }
    m_savedLine = saved;
    m_fd = fd;
    m_readPos = m_readEnd = 0;
    return LinkStatus::Ok;
}

LinkStatus CQMNetSerialPort::Close()
{
    if (m_fd < 0)
        return LinkStatus::Ok;
    const int fd = m_fd;
    // Forget the descriptor whatever close() says: after a failed close its number may
    // already belong to someone else, and closing it again would hit that file.
    m_fd = -1;
    m_readPos = m_readEnd = 0;
    // Left as found: the next user of the device (a terminal, another tool) gets its echo
    // and line editing back. A hung-up line refuses this, which is harmless.
    // What was written (a cancel above all) leaves at the speed it was written at; only then
    // does the line get its own settings back. A hung-up line refuses both, which is harmless.
    tcdrain(fd);
    tcsetattr(fd, TCSANOW, &m_savedLine);
    if (::close(fd) != 0 && errno != EINTR)
        return LinkStatus::CloseFailed;
    return LinkStatus::Ok;
}

bool CQMNetSerialPort::ApplyTimeouts()
{
    // Nothing to program into a tty: reads are paced by poll().
    if (m_fd < 0)
        return false;
    m_appliedTimeoutMs = m_readTimeoutMs;
    return true;
}

LinkStatus CQMNetSerialPort::Write(const unsigned char* bytes, int count)
{
    if (m_fd < 0 || count < 0 || (bytes == nullptr && count > 0))
        return LinkStatus::WriteFailed;
    if (m_timeoutsPending)
    {
        m_timeoutsPending = !ApplyTimeouts();
        if (m_timeoutsPending)
            return LinkStatus::WriteFailed;
    }
    // The descriptor is non-blocking; a full output queue is waited out, bounded by the
    // read time-out so a stuck line cannot hang the worker.
    int done = 0;
    const std::int64_t deadline = NowMs() + m_appliedTimeoutMs + 1000;
    while (done < count)
    {
        const ssize_t n = ::write(m_fd, bytes + done, static_cast<std::size_t>(count - done));
        if (n > 0)
        {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EIO)
            return LinkStatus::LineHungUp;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return LinkStatus::WriteFailed;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return LinkStatus::WriteFailed;
        short events = 0;
        bool woken = false;
        bool stopped = false;
        if (PollPort(static_cast<int>(left), events, woken, stopped, POLLOUT) != 0)
            return LinkStatus::WriteFailed;
        if ((events & (POLLHUP | POLLERR)) != 0)
            return LinkStatus::LineHungUp;
        if (stopped)
            return LinkStatus::Woken;
    }
    return LinkStatus::Ok;
}

int CQMNetSerialPort::PollPort(int timeoutMs, short& portEvents, bool& woken, bool& stopped, short wanted) const
{
    // A descriptor of -1 is skipped by poll(), so the array never needs compacting.
    pollfd pfds[3] = {{m_fd, wanted, 0}, {wanted == POLLIN ? m_wakeFd : -1, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    const int r = ::poll(pfds, 3, timeoutMs);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    portEvents = pfds[0].revents;
    stopped = m_stopFd >= 0 && (pfds[2].revents & POLLIN) != 0;
    woken = stopped || (pfds[1].fd >= 0 && (pfds[1].revents & POLLIN) != 0);
    return 0;
}

LinkStatus CQMNetSerialPort::WaitReadable(unsigned int timeoutMs)
{
    if (m_fd < 0)
        return LinkStatus::ReadFailed;
    if (m_readPos < m_readEnd)
        return LinkStatus::Ok;
    const std::int64_t deadline = NowMs() + timeoutMs;
    for (;;)
    {
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return LinkStatus::Timeout;
        short events = 0;
        bool woken = false;
        bool stopped = false;
        if (PollPort(static_cast<int>(left), events, woken, stopped) != 0)
            return LinkStatus::ReadFailed;
        if ((events & POLLNVAL) != 0)
            return LinkStatus::ReadFailed;
        if (stopped)
            return LinkStatus::Woken;
        // Readable or hung up: ReadByte tells which.
        if ((events & (POLLIN | POLLHUP | POLLERR)) != 0)
            return LinkStatus::Ok;
        if (woken)
            return LinkStatus::Woken;
    }
}

LinkStatus CQMNetSerialPort::ReadByte(unsigned char* byte)
{
    if (m_fd < 0 || byte == nullptr)
        return LinkStatus::ReadFailed;
    if (m_timeoutsPending)
    {
        m_timeoutsPending = !ApplyTimeouts();
        if (m_timeoutsPending)
            return LinkStatus::ReadFailed;
    }
    const std::int64_t deadline = NowMs() + m_appliedTimeoutMs;
    bool pollSaidReady = false;
    for (;;)
    {
        if (m_readPos < m_readEnd)
        {
            *byte = m_readBuffer[m_readPos++];
            m_wakeFd = -1;   // a reception is under way: it is finished normally
            return LinkStatus::Ok;
        }
        const ssize_t n = ::read(m_fd, m_readBuffer.data(), m_readBuffer.size());
        if (n > 0)
        {
            m_readPos = 0;
            m_readEnd = static_cast<std::size_t>(n);
            continue;
        }
        // With VMIN 0 a read of 0 is "nothing yet", unless poll() has just said there was
        // something: then it is the end of a hung-up line, which stays "ready" for ever and
        // would be spun on until the deadline. EIO is a line whose far end went away.
        if ((n == 0 && pollSaidReady) || (n < 0 && errno == EIO))
            return LinkStatus::LineHungUp;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return LinkStatus::ReadFailed;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return LinkStatus::Timeout;
        short events = 0;
        bool woken = false;
        bool stopped = false;
        if (PollPort(static_cast<int>(left), events, woken, stopped) != 0 || (events & POLLNVAL) != 0)
            return LinkStatus::ReadFailed;
        // A stop abandons even a frame under way: the next run's poll learns the truth.
        if (stopped)
            return LinkStatus::Woken;
        pollSaidReady = (events & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (woken && !pollSaidReady)
            return LinkStatus::Woken;
    }
}

int CQMNetSerialPort::Purge()
{
    if (m_fd < 0)
        return 0;
    m_readPos = m_readEnd = 0;
    return tcflush(m_fd, TCIFLUSH) == 0 ? 1 : 0;
}
