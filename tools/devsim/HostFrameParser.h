#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Wire.h"

// Splits the bytes the host sends into command frames. The unit reads a frame to its full
// length (5 + n bytes) before judging it, so a corrupt frame never leaves its tail behind to be
// taken for the start of the next one; bytes outside any frame are collected as noise.
class CHostFrameParser
{
public:
    enum class Verdict
    {
        Good,
        BadChecksum,
        BadEnd,
        Incomplete,   // the host stopped sending in the middle of a frame
        Noise         // bytes that did not start a frame
    };

    struct Unit
    {
        Verdict verdict = Verdict::Good;
        wire::Bytes bytes;     // everything received for this unit, as it came
        std::uint8_t code = 0;
        wire::Bytes payload;
    };

    explicit CHostFrameParser(std::uint32_t gapMs = 500) : m_gapMs(gapMs) {}

    // Feeds one byte. Returns a unit when one ends with this byte, or when noise collected so
    // far ends because a frame starts.
    std::optional<Unit> Feed(std::uint8_t byte, std::uint64_t nowMs);

    // A frame or noise left unfinished for the gap time is given up; returns it.
    std::optional<Unit> Expire(std::uint64_t nowMs);
    std::optional<std::uint64_t> Deadline() const;

    void Clear();

    static const char* VerdictText(Verdict verdict);

private:
    std::optional<Unit> TakeNoise();

    std::uint32_t m_gapMs;
    wire::Bytes m_frame;
    wire::Bytes m_noise;
    std::uint64_t m_lastByteAt = 0;
};
