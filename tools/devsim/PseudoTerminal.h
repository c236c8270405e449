#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The unit's end of the serial line: the master side of a pseudo-terminal. The host opens the
// slave path as if it were a serial adapter.
class CPseudoTerminal
{
public:
    CPseudoTerminal() = default;
    ~CPseudoTerminal();
    CPseudoTerminal(const CPseudoTerminal&) = delete;
    CPseudoTerminal& operator=(const CPseudoTerminal&) = delete;

    // Opens a new pair with the line in raw mode; false with a reason on failure.
    bool Open(std::string& error);
    void Close();   // the adapter is pulled: the host's descriptor sees a hang-up
    bool IsOpen() const { return m_master >= 0; }
    int Descriptor() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }

    // Whether a program has the slave side open. Checks the master for a hang-up and, when the
    // host has just closed the port, throws away what it left unread, as a serial driver does
    // when its port is closed.
    bool PeerPresent();

    // Reads what is available without blocking; returns the byte count, 0 when nothing is there.
    std::size_t Read(std::uint8_t* buffer, std::size_t size);
    // Writes without blocking; returns how many bytes went out.
    std::size_t Write(const std::uint8_t* bytes, std::size_t count);

private:
    int m_master = -1;
    std::string m_slavePath;
    bool m_peerWasPresent = false;
};
