#pragma once

#include <QEvent>
#include <cstddef>

// A private window message as a Qt event: its type is the message number, and it names the
// engine bridge's route whose waiting records it asks to hand over. The records wait in the
// route, not in the event, so the event owns nothing.
class CPrivateEvent : public QEvent
{
public:
    CPrivateEvent(int message, std::size_t route) : QEvent(static_cast<QEvent::Type>(message)), m_route(route) {}

    std::size_t Route() const { return m_route; }

private:
    std::size_t m_route;
};
