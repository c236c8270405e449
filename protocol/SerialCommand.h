#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// One queued device command. The link owns queued commands and deletes them through the
// virtual destructor.
class CSerialCommand
{
public:
    CSerialCommand() = default;
    CSerialCommand(const CSerialCommand&) = default;
    CSerialCommand& operator=(const CSerialCommand&) = default;
    virtual ~CSerialCommand() = default;

    std::uint8_t Code = 0;
    std::uint8_t Param1 = 0;    // first payload byte, for the codes that carry one
    std::uint8_t Param2 = 0;    // second payload byte (relay toggle only)
    // Set by the link when it takes the command: an order too old to be wanted is dropped.
    std::chrono::steady_clock::time_point QueuedAt{};
    // Run when the order is dropped before the unit answered it (a stop, or its lifetime).
    std::function<void()> OnNotSent;
};
