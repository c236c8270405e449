#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "Observer.h"

class CEventArgs;

// The observable base of every model and of the manager. Notification is synchronous on
// the raising thread. The list may change on any thread while another notifies (a window
// attaching while the broker thread already logs): a notification walks the list as it was
// when it began, so an observer attached meanwhile gets the next one, and one detached
// meanwhile may still get the one under way; detach before destroying, once nothing raises.
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

    std::size_t GetObserverCount() const;

protected:
    ~CSubject() = default;

private:
    using List = std::vector<CObserver*>;

    // Never changed in place: a change makes a new list, so a walk under way keeps its own.
    mutable std::mutex m_mutex;
    std::shared_ptr<const List> m_observers = std::make_shared<const List>();
};
