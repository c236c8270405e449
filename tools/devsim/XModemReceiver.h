#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Wire.h"

// The receiving end of an XModem upload with 128-byte blocks and an 8-bit sum: the unit asks
// for the file with NAK, acknowledges each good block, refuses bad ones with NAK and
// acknowledges the end of transmission. The caller moves bytes and time in; the receiver
// tells what to send back. Blocks are kept exactly as received, the 0x1A padding of the
// last block included, because the unit cannot know where the file ended.
class CXModemReceiver
{
public:
    enum class State
    {
        Idle,
        Receiving,
        Done,
        Aborted
    };

    struct Timing
    {
        std::uint32_t nakIntervalMs = 3000;   // repeat of the start NAK while no block came
        std::uint32_t gapMs = 1000;           // longest pause inside a block
        std::uint32_t idleMs = 10000;         // longest pause between blocks
        int maxErrors = 10;                   // consecutive failures before the unit gives up
        std::size_t maxBytes = 16u << 20;     // larger uploads are cut off, not buffered forever
    };

    // One step of the exchange: what was received (may be empty for a time-out), a word for
    // the transcript, and the bytes to answer with (may be empty).
    struct Action
    {
        wire::Bytes received;
        std::string note;
        wire::Bytes reply;
    };

    CXModemReceiver() : m_timing(Timing{}) {}
    explicit CXModemReceiver(Timing timing) : m_timing(timing) {}

    // Starts a new upload and returns the start signal (NAK) to send.
    wire::Bytes Start(std::uint64_t nowMs);

    std::optional<Action> Feed(std::uint8_t byte, std::uint64_t nowMs);
    std::optional<Action> Expire(std::uint64_t nowMs);
    std::optional<std::uint64_t> Deadline() const;

    // The next n good blocks are answered with NAK all the same.
    void RefuseNext(int count) { m_refusals = count; }
    int RefusalsLeft() const { return m_refusals; }

    State GetState() const { return m_state; }
    const wire::Bytes& Data() const { return m_data; }
    int BlocksAccepted() const { return m_blocks; }

private:
    enum class Phase
    {
        AwaitBlock,
        InBlock,
        Discarding
    };

    Action JudgeBlock(std::uint64_t nowMs);
    Action Fail(Action action, std::uint64_t nowMs);

    Timing m_timing;
    State m_state = State::Idle;
    Phase m_phase = Phase::AwaitBlock;
    wire::Bytes m_unit;
    wire::Bytes m_data;
    std::uint64_t m_deadline = 0;
    std::uint8_t m_expected = 1;
    bool m_started = false;   // a block was accepted; before that, silence repeats the start NAK
    int m_errors = 0;
    int m_refusals = 0;
    int m_blocks = 0;
};
