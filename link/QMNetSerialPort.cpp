#include "QMNetSerialPort.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core/DataFolder.h"

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
}

CQMNetSerialPort::~CQMNetSerialPort()
{
    Close();
}

void CQMNetSerialPort::SetLine(short portNumber, int baudRate)
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

LinkStatus CQMNetSerialPort::Open()
{
    // A second Open on an open port would leak the first descriptor.
    Close();
    m_timeoutsPending = true;

    const std::string path = DevicePathFor(m_portNumber);
    speed_t speed{};
    if (path.empty() || !SpeedCode(m_baudRate, &speed))
        return Status::OpenFailed;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Status::OpenFailed;

    termios tio{};
    bool ok = isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0 && tcgetattr(fd, &tio) == 0;
    if (ok)
    {
        MakeRaw(tio);
        ok = cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 &&
             tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    // tcsetattr succeeds when any one change took; read back to see the speed really did.
    termios check{};
    if (ok)
        ok = tcgetattr(fd, &check) == 0 && cfgetospeed(&check) == speed &&
             (check.c_cflag & CSIZE) == CS8 && (check.c_iflag & IXON) == 0;
    if (!ok)
    {
        // Unlike the original design, a failed open keeps nothing: the lock and the
        // descriptor go with it, and a later Close has nothing to do.
        ::close(fd);
        return Status::OpenFailed;
    }
    m_fd = fd;
    return Status::Ok;
}

LinkStatus CQMNetSerialPort::Close()
{
    if (m_fd < 0)
        return Status::Ok;
    const int fd = m_fd;
    // Forget the descriptor whatever close() says: after a failed close its number may
    // already belong to someone else, and closing it again would hit that file.
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return Status::CloseFailed;
    return Status::Ok;
}

bool CQMNetSerialPort::ApplyTimeouts()
{
    // Nothing to program into a tty (reads are paced by poll()), but the device must still
    // answer as a terminal, the way the original read back the device's time-outs.
    termios tio{};
    if (m_fd < 0 || tcgetattr(m_fd, &tio) != 0)
        return false;
    m_appliedTimeoutMs = m_readTimeoutMs;
    return true;
}

LinkStatus CQMNetSerialPort::Write(const unsigned char* bytes, int count)
{
    if (m_fd < 0 || count < 0 || (bytes == nullptr && count > 0))
        return Status::WriteFailed;
    if (m_timeoutsPending)
    {
        m_timeoutsPending = !ApplyTimeouts();
        if (m_timeoutsPending)
            return Status::WriteFailed;
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
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Status::WriteFailed;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return Status::WriteFailed;
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return Status::WriteFailed;
    }
    return Status::Ok;
}

LinkStatus CQMNetSerialPort::ReadByte(unsigned char* byte)
{
    if (m_fd < 0 || byte == nullptr)
        return Status::ReadFailed;
    if (m_timeoutsPending)
    {
        m_timeoutsPending = !ApplyTimeouts();
        if (m_timeoutsPending)
            return Status::ReadFailed;
    }
    const std::int64_t deadline = NowMs() + m_appliedTimeoutMs;
    for (;;)
    {
        const ssize_t n = ::read(m_fd, byte, 1);
        if (n == 1)
        {
            m_wakeFd = -1;   // a reception is under way: it is finished normally
            return Status::Ok;
        }
        // 0 is what a pseudo-terminal's master gone away looks like to a blocking reader;
        // EIO is the same on Linux. Both read as a silent line until the deadline, as a
        // COM port with nothing attached would.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO)
            return Status::ReadFailed;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return Status::Timeout;
        pollfd pfds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int r = ::poll(pfds, m_wakeFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (r < 0 && errno != EINTR)
            return Status::ReadFailed;
        if (m_wakeFd >= 0 && (pfds[1].revents & POLLIN) != 0)
            return Status::Timeout;
        if ((pfds[0].revents & POLLNVAL) != 0)
            return Status::ReadFailed;
        if ((pfds[0].revents & (POLLHUP | POLLERR)) != 0 && (pfds[0].revents & POLLIN) == 0)
        {
            // A hung-up line stays readable-with-nothing; wait out the deadline instead of
            // spinning on it.
            const std::int64_t rest = deadline - NowMs();
            if (rest > 0)
            {
                pollfd wake{m_wakeFd, POLLIN, 0};
                ::poll(&wake, m_wakeFd >= 0 ? 1 : 0, static_cast<int>(rest));
            }
            return Status::Timeout;
        }
    }
}

int CQMNetSerialPort::Purge()
{
    if (m_fd < 0)
        return 0;
    return tcflush(m_fd, TCIFLUSH) == 0 ? 1 : 0;
}
