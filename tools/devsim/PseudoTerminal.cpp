#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

CPseudoTerminal::~CPseudoTerminal()
{
    Close();
}

bool CPseudoTerminal::Open(std::string& error)
{
    Close();
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
    {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
    {
        error = std::string("pseudo-terminal setup: ") + std::strerror(errno);
        ::close(master);
        return false;
    }

    // The line must be raw before the first byte moves: a fresh terminal echoes its input, and
    // an echo would hand the unit's own answers back to it as if the host had sent them. The
    // settings stay with the terminal while the master is open, across the host's opens and
    // closes.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
    {
        error = std::string("open ") + name + ": " + std::strerror(errno);
        ::close(master);
        return false;
    }
    termios line{};
    bool ok = tcgetattr(slave, &line) == 0;
    if (ok)
    {
        cfmakeraw(&line);
        line.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&line, B19200);
        cfsetospeed(&line, B19200);
        ok = tcsetattr(slave, TCSANOW, &line) == 0;
    }
    if (!ok)
        error = std::string("raw mode: ") + std::strerror(errno);
    ::close(slave);
    if (!ok)
    {
        ::close(master);
        return false;
    }

    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    m_master = master;
    m_slavePath = name;
    m_peerWasPresent = false;
    return true;
}

void CPseudoTerminal::Close()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_peerWasPresent = false;
}

bool CPseudoTerminal::PeerPresent()
{
    if (m_master < 0)
        return false;
    pollfd p{m_master, POLLIN, 0};
    const bool present = poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    if (!present && m_peerWasPresent)
        tcflush(m_master, TCOFLUSH);
    m_peerWasPresent = present;
    return present;
}

std::size_t CPseudoTerminal::Read(std::uint8_t* buffer, std::size_t size)
{
    if (m_master < 0)
        return 0;
    const ssize_t n = ::read(m_master, buffer, size);
    // EIO means the host closed its side; EAGAIN that nothing is waiting. Neither is an error.
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t CPseudoTerminal::Write(const std::uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (m_master >= 0 && done < count)
    {
        const ssize_t n = ::write(m_master, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}
