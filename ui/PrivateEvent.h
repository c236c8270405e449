#pragma once

#include <QEvent>
#include <cstdint>
#include <memory>

#include "core/EventArgs.h"

// A private window message as a Qt event: its type is the message number, and it owns the
// record copy it carries, so an event that never reaches its window still frees the copy.
// CEngineBridge is what posts them.
class CPrivateEvent : public QEvent
{
public:
    CPrivateEvent(int message, std::unique_ptr<CEventArgs> record, std::intptr_t wParam = 0,
                  std::intptr_t lParam = 0)
        : QEvent(static_cast<QEvent::Type>(message)), m_record(std::move(record)), m_wParam(wParam),
          m_lParam(lParam)
    {
    }

    CEventArgs* Record() const { return m_record.get(); }
    std::intptr_t WParam() const { return m_wParam; }
    std::intptr_t LParam() const { return m_lParam; }

private:
    std::unique_ptr<CEventArgs> m_record;
    std::intptr_t m_wParam;
    std::intptr_t m_lParam;
};
