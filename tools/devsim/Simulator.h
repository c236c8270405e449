#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "DeviceState.h"
#include "HostFrameParser.h"
#include "PseudoTerminal.h"
#include "SimOptions.h"
#include "Transcript.h"
#include "XModemReceiver.h"

// The simulated unit as a whole: the pseudo-terminal, the unit's state and the control channel
// on standard input, driven by one single-threaded poll loop. Every wait is bounded, so the
// loop ends by itself on "quit", end of input, a signal or the time limit.
class CSimulator
{
public:
    explicit CSimulator(SimOptions options);
    ~CSimulator();
    CSimulator(const CSimulator&) = delete;
    CSimulator& operator=(const CSimulator&) = delete;

    // Runs until the unit is told to stop; returns the process exit status.
    int Run();

private:
    enum class Fault
    {
        None,
        Checksum,
        End,
        Garbage,
        Ack,
        Nak
    };

    struct Outgoing
    {
        std::uint64_t due = 0;
        wire::Bytes bytes;
        std::string note;
    };

    bool Plug(std::string& error);   // new pseudo-terminal, link pointed at it
    bool PointLink(std::string& error);
    void RemoveLink();

    void ReadHost(std::uint64_t now);
    void OnHostByte(std::uint8_t byte, std::uint64_t now);
    void OnHostUnit(const CHostFrameParser::Unit& unit, std::uint64_t now);
    void OnUploadAction(const CXModemReceiver::Action& action, std::uint64_t now);
    void FinishUpload();
    void RunTimers(std::uint64_t now);
    std::uint64_t NextWake(std::uint64_t now) const;

    void Answer(const Reply& reply, std::uint64_t now);
    void Send(wire::Bytes bytes, std::string note, std::uint64_t due);
    void FlushDue(std::uint64_t now);

    void Flood();   // writes unsolicited frames while the line takes them

    void ReadControl();
    std::string Control(const std::string& line, std::uint64_t now);
    std::string Inject(const std::vector<std::string>& words, std::uint64_t now);
    void Print(const std::string& line);

    SimOptions m_options;
    CPseudoTerminal m_pty;
    CTranscript m_transcript;
    CDeviceState m_state;
    CHostFrameParser m_parser;
    CXModemReceiver m_upload;
    bool m_uploading = false;
    int m_uploadsDone = 0;
    std::size_t m_lastUploadBytes = 0;

    std::deque<Outgoing> m_outgoing;   // ordered by due time
    bool m_silent = false;
    std::uint32_t m_delayMs = 0;
    Fault m_fault = Fault::None;
    int m_faultCount = 0;
    std::uint64_t m_deafUntil = 0;     // a unit restarting after a reset hears nothing

    // A peer that sends unsolicited relay frames without pause: about relay 9 (valid frames
    // the host must ignore) or, "real", about relay 1 turning on and off.
    enum class FloodKind { Off, Ignored, Real };
    FloodKind m_flood = FloodKind::Off;
    wire::Bytes m_floodBuffer;
    std::size_t m_floodOffset = 0;
    std::uint64_t m_floodFrames = 0;

    std::string m_linkedTo;            // what the link points at, when this run made it
    std::string m_controlBuffer;
    bool m_inputClosed = false;
    bool m_quit = false;
    std::string m_exitReason;
};
