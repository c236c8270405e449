#include "Subject.h"

#include <algorithm>

void CSubject::Attach(CObserver* observer)
{
    m_observers.push_back(observer);
}

void CSubject::Detach(CObserver* observer)
{
    std::erase(m_observers, observer);
}

void CSubject::Notify()
{
    Notify(nullptr);
}

void CSubject::Notify(CEventArgs* args)
{
    // Index loop: an observer may not change the list from Update, but a copy-free walk
    // stays safe even if one appends.
    for (std::size_t i = 0; i < m_observers.size(); ++i)
        m_observers[i]->Update(args);
}
