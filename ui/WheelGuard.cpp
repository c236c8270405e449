#include "WheelGuard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QWidget>

namespace
{
class CWheelGuard : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Wheel)
            return false;
        auto* field = static_cast<QWidget*>(watched);
        if (field->hasFocus())
            return false;
        // Unaccepted, the wheel travels on to the parents: the scroll area gets it.
        event->ignore();
        return true;
    }
};

CWheelGuard* Guard()
{
    // One filter for the whole program, owned by the application.
    static CWheelGuard* guard = new CWheelGuard(QCoreApplication::instance());
    return guard;
}
}

void GuardAgainstWheel(QWidget* field)
{
    if (field == nullptr)
        return;
    field->setFocusPolicy(Qt::StrongFocus);
    field->installEventFilter(Guard());
}
