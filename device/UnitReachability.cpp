#include "UnitReachability.h"

bool CUnitReachability::SaysNothingAboutTheUnit(LinkStatus status)
{
    return status == LinkStatus::FirmwareFileNotOpened || status == LinkStatus::NotSendable ||
           status == LinkStatus::AlreadyConnected || status == LinkStatus::Woken;
}

bool CUnitReachability::Take(LinkStatus status, std::time_t now)
{
    if (SaysNothingAboutTheUnit(status))
        return false;
    // A NAK came from the unit: it is there, it only refused the frame.
    const bool answered = status == LinkStatus::Ok || status == LinkStatus::NotAcknowledged;
    if (answered)
        m_lastAnswer = now;
    const State next = answered ? State::Reachable : State::Unreachable;
    return m_state.exchange(next) != next;
}
