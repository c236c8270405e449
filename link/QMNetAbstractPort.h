#pragma once

#include "protocol/StatusCodes.h"

// A blocking byte pipe to the device: open, write a buffer, read one byte with a deadline,
// close. Knows nothing of frames. Used by one thread at a time; no locking.
class CQMNetAbstractPort
{
public:
    static constexpr unsigned int DefaultReadTimeoutMs = 1000;

    CQMNetAbstractPort() = default;
    CQMNetAbstractPort(const CQMNetAbstractPort&) = delete;
    CQMNetAbstractPort& operator=(const CQMNetAbstractPort&) = delete;
    virtual ~CQMNetAbstractPort() = default;

    virtual LinkStatus Open() = 0;                                  // 0 or -12
    virtual LinkStatus Close() = 0;                                 // 0 or -13; safe when not open
    virtual LinkStatus Write(const unsigned char* bytes, int count) = 0;   // 0 or -14
    virtual LinkStatus ReadByte(unsigned char* byte) = 0;           // 0, -6, -11, -13 or -15
    virtual int Purge() = 0;                                        // nonzero on success

    // Waits, up to timeoutMs, until a byte can be read: 0 when one can (or the port cannot
    // say, as here), -6 when none came, -11 when the owner woke the port, -13 when the line
    // hung up. One wait instead of a read per time-out keeps an idle line from waking us.
    virtual LinkStatus WaitReadable(unsigned int timeoutMs)
    {
        (void)timeoutMs;
        return LinkStatus::Ok;
    }

    // A descriptor that becomes readable for good when the run is stopped: every wait of the
    // port then ends at once with -11, a frame under way included. -1 stops watching.
    virtual void WatchStop(int fd) { (void)fd; }

    // Takes effect at the next Write or ReadByte on an open port, not at once.
    void SetReadTimeout(unsigned int milliseconds)
    {
        m_readTimeoutMs = milliseconds;
        m_timeoutsPending = true;
    }
    unsigned int GetReadTimeout() const { return m_readTimeoutMs; }

protected:
    bool m_timeoutsPending = false;
    unsigned int m_readTimeoutMs = DefaultReadTimeoutMs;
};
