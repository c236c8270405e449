#pragma once

#include <string>

#include "QMNetAbstractPort.h"

// The device's serial line on a tty: raw 8N1 at the configured speed, held exclusively
// with flock so a second program (or a second port object) cannot interleave bytes.
class CQMNetSerialPort : public CQMNetAbstractPort
{
public:
    static constexpr unsigned int DefaultBaudRate = 19200;

    CQMNetSerialPort() = default;
    ~CQMNetSerialPort() override;   // closes a port the owner forgot, so no descriptor leaks

    // Stored now, used at the next Open.
    void SetLine(short portNumber, int baudRate);
    short GetPortNumber() const { return m_portNumber; }
    unsigned int GetBaudRate() const { return m_baudRate; }

    LinkStatus Open() override;
    LinkStatus Close() override;
    LinkStatus Write(const unsigned char* bytes, int count) override;
    LinkStatus ReadByte(unsigned char* byte) override;
    int Purge() override;

    bool IsOpen() const { return m_fd >= 0; }

    // A descriptor that becomes readable when the owner wants the port's reader back
    // (the link's stop request). While it is readable, a ReadByte that has not yet seen a
    // byte since the descriptor was armed gives up at once with -6; once a byte has arrived
    // the port reads normally again, so a frame already under way is never cut short.
    // -1 disarms.
    void ArmWakeDescriptor(int fd) { m_wakeFd = fd; }

    // The device a COM number names: a link <data folder>/ports/COM<n> wins; otherwise
    // COM1..32 are /dev/ttyS0..31, COM33..64 /dev/ttyUSB0..31, COM65..96 /dev/ttyACM0..31.
    // Empty for a number outside those ranges with no link.
    static std::string DevicePathFor(int portNumber);

private:
    bool ApplyTimeouts();

    unsigned int m_baudRate = DefaultBaudRate;
    int m_fd = -1;
    short m_portNumber = 1;
    unsigned int m_appliedTimeoutMs = DefaultReadTimeoutMs;
    int m_wakeFd = -1;
};
