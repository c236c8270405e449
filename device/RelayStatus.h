#pragma once

#include <cstdint>

// One relay's state as the device last reported it. Held by value in the status model, so
// readers on another thread always get their own copy.
class CRelayStatus
{
public:
    CRelayStatus(std::int32_t index, std::int32_t state) : m_index(index), m_state(state) {}
    CRelayStatus(const CRelayStatus&) = default;
    CRelayStatus& operator=(const CRelayStatus&) = default;
    virtual ~CRelayStatus() = default;

    std::int32_t GetIndex() const { return m_index; }
    // 1 when the device reports the relay inactive (off), 0 when active (on).
    std::int32_t GetState() const { return m_state; }
    void SetState(std::int32_t state) { m_state = state; }

private:
    std::int32_t m_index;
    std::int32_t m_state;
};
