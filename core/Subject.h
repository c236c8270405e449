#pragma once

#include <string_view>
#include <vector>

#include "Observer.h"

class CEventArgs;

// The observable base of every model and of the manager. Notification is synchronous on
// the raising thread; the list is changed only on the UI thread while nobody notifies.
class CSubject
{
public:
    CSubject() = default;
    CSubject(const CSubject&) = delete;
    CSubject& operator=(const CSubject&) = delete;

    virtual std::string_view GetRuntimeClassName() const { return "CSubject"; }
    virtual void Attach(CObserver* observer);   // no duplicate check: twice attached, twice called
    virtual void Detach(CObserver* observer);   // removes every occurrence
    virtual void Notify();                      // delivers a null record

    void Notify(CEventArgs* args);

    std::size_t GetObserverCount() const { return m_observers.size(); }

protected:
    ~CSubject() = default;

private:
    std::vector<CObserver*> m_observers;
};
