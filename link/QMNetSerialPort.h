#pragma once

#include <array>
#include <poll.h>
#include <string>
#include <termios.h>

#include "QMNetAbstractPort.h"

// The device's serial line on a tty: raw 8N1 at the configured speed, held exclusively
// with flock so a second program (or a second port object) cannot interleave bytes. The
// line's own settings are put back when the port closes.
class CQMNetSerialPort : public CQMNetAbstractPort
{
public:
    static constexpr unsigned int DefaultBaudRate = 19200;

    CQMNetSerialPort() = default;
    ~CQMNetSerialPort() override;   // closes a port the owner forgot, so no descriptor leaks

    // Stored now, used at the next Open.
    void SetLine(int portNumber, int baudRate);
    int GetPortNumber() const { return m_portNumber; }
    unsigned int GetBaudRate() const { return m_baudRate; }

    LinkStatus Open() override;
    LinkStatus Close() override;
    LinkStatus Write(const unsigned char* bytes, int count) override;
    LinkStatus ReadByte(unsigned char* byte) override;
    LinkStatus WaitReadable(unsigned int timeoutMs) override;
    int Purge() override;

    bool IsOpen() const { return m_fd >= 0; }
    // The step and the system's reason of the last failed Open, e.g.
    // "cannot lock /dev/ttyUSB0: Resource temporarily unavailable".
    const std::string& GetLastError() const { return m_lastError; }

    // A descriptor that becomes readable when the owner wants the port's reader back
    // (a queued command, the link's stop request). While it is readable, a wait that has
    // not yet seen a byte since the descriptor was armed gives up at once with -11; once a
    // byte has arrived the port reads normally again, so a frame already under way is never
    // cut short. -1 disarms.
    void ArmWakeDescriptor(int fd) { m_wakeFd = fd; }
    void WatchStop(int fd) override { m_stopFd = fd; }

    // The device a COM number names: a link <data folder>/ports/COM<n> wins; otherwise
    // COM1..32 are /dev/ttyS0..31, COM33..64 /dev/ttyUSB0..31, COM65..96 /dev/ttyACM0..31.
    // Empty for a number outside those ranges with no link.
    static std::string DevicePathFor(int portNumber);

private:
    bool ApplyTimeouts();
    LinkStatus Fail(const std::string& step, const std::string& path, int error);
    // -1 on a failed poll, else 0 with the revents of the port and whether the wake or the
    // stop descriptor fired (stopped implies woken).
    int PollPort(int timeoutMs, short& portEvents, bool& woken, bool& stopped, short wanted = POLLIN) const;

    static constexpr std::size_t kReadChunk = 256;

    unsigned int m_baudRate = DefaultBaudRate;
    int m_fd = -1;
    int m_portNumber = 1;
    unsigned int m_appliedTimeoutMs = DefaultReadTimeoutMs;
    int m_wakeFd = -1;
    int m_stopFd = -1;
    termios m_savedLine{};
    std::string m_lastError;
    // A read takes what the driver has, so a burst costs one system call, not one per byte.
    std::array<unsigned char, kReadChunk> m_readBuffer{};
    std::size_t m_readPos = 0;
    std::size_t m_readEnd = 0;
};
