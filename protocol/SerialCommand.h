#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

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
    // Set by the link as the frame goes out, counting up across runs; 0 while never sent. An
    // order stopped after it went out may have been carried out; after a reset, only an answer
    // to a question sent later says that the unit is back.
    std::uint64_t SendNumber = 0;
    // The manager's cheap question to a unit that does not answer: the one command the link
    // sends while it holds the rest, and it waits one read time-out for its answer.
    bool Probe = false;
    // What an order is, for the lines about it ("Relay 1 (Router) switch off"); empty for a
    // question, which its code names well enough.
    std::string Name;
};
