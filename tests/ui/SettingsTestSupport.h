#pragma once

#include <QCoreApplication>
#include <QFocusEvent>
#include <QWidget>
#include <cstddef>
#include <typeinfo>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"

// Counts the records of one class that a subject raises.
template <typename T>
class CountingObserver : public CObserver
{
public:
    void Update(CEventArgs* args) override
    {
        ++total;
        if (dynamic_cast<T*>(args) != nullptr)
            ++matching;
    }

    std::size_t total = 0;
    std::size_t matching = 0;
};

// What the system sends a field when the operator tabs or clicks away from it.
inline void LeaveField(QWidget* field)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(field, &out);
}

template <typename T>
T* Child(const QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}
