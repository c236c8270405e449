#pragma once

#include <functional>
#include <string>

#include "FrameCodec.h"

// The firmware file sender: XModem with 128-byte blocks and an 8-bit sum, each block waiting
// for its acknowledge, at most three attempts per block. A transfer that fails after the
// receiver has started ends with a cancel, so the unit leaves its upload mode.
class CXModemSender
{
public:
    static constexpr int BlockBytes = 128;
    static constexpr unsigned char Cancel = 0x18;
    using ProgressSink = std::function<void(int done, int total)>;
    using StopCheck = std::function<bool()>;

    explicit CXModemSender(CFrameCodec& codec) : m_codec(codec) {}

    void SetProgressSink(ProgressSink sink) { m_progress = std::move(sink); }
    // Looked at before every block: a stopped transfer ends with the cancel and -27.
    void SetStopCheck(StopCheck check) { m_stopRequested = std::move(check); }

    // 0 when every block and the end of transmission went out; else -1 when the file does not
    // open (no block is sent) or the failing block's status, each after the cancel.
    LinkStatus Send(CQMNetAbstractPort& port, const std::string& path);

private:
    void SendCancel(CQMNetAbstractPort& port);
    bool StopRequested() const { return m_stopRequested && m_stopRequested(); }

    CFrameCodec& m_codec;
    ProgressSink m_progress;
    StopCheck m_stopRequested;
};
