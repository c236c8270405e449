#include "Subject.h"

#include <algorithm>

void CSubject::Attach(CObserver* observer)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    auto list = std::make_shared<List>(*m_observers);
    list->push_back(observer);
    m_observers = std::move(list);
}

void CSubject::Detach(CObserver* observer)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    auto list = std::make_shared<List>(*m_observers);
    std::erase(*list, observer);
    m_observers = std::move(list);
}

void CSubject::Notify()
{
    Notify(nullptr);
}

void CSubject::Notify(CEventArgs* args)
{
    std::shared_ptr<const List> observers;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        observers = m_observers;
    }
    for (CObserver* observer : *observers)
        observer->Update(args);
}

std::size_t CSubject::GetObserverCount() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_observers->size();
}
