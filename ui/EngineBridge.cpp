#include "EngineBridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>

#include "PrivateEvent.h"
#include "core/Subject.h"

class CEngineBridge::CReceiver : public QObject
{
public:
    CReceiver(CEngineBridge* bridge, QObject* window) : QObject(window), m_bridge(bridge) {}

    void Forget() { m_bridge = nullptr; }

protected:
    bool event(QEvent* event) override
    {
        auto* posted = dynamic_cast<CPrivateEvent*>(event);
        if (posted == nullptr)
            return QObject::event(event);
        if (m_bridge != nullptr)
            m_bridge->Deliver(posted->Route());
        return true;
    }

private:
    CEngineBridge* m_bridge;
};

CEngineBridge::CEngineBridge(QObject* window) : m_target(new CReceiver(this, window)), m_receiver(m_target) {}

CEngineBridge::~CEngineBridge()
{
    DetachAll();
    if (m_receiver != nullptr)
        m_receiver->Forget();
}

void CEngineBridge::Attach(CSubject* subject)
{
    if (subject == nullptr)
        return;
    for (std::size_t n = 0; n < m_routes.size(); ++n)
    {
        m_routes[n]->index = n;
        m_routes[n]->bridge = this;
    }
    subject->Attach(this);
    m_subjects.push_back(subject);
}

void CEngineBridge::DetachAll()
{
    m_alive.store(false);
    for (CSubject* subject : m_subjects)
        subject->Detach(this);
    m_subjects.clear();
}

void CEngineBridge::Update(CEventArgs* args)
{
    if (!m_alive.load())
        return;
    for (const std::unique_ptr<Route>& route : m_routes)
    {
        if (route->offer(args, *route))
            return;
    }
}

void CEngineBridge::Route::Queue(std::unique_ptr<CEventArgs> record)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (record != nullptr)
        {
            pending.push_back(std::move(record));
            while (pending.size() > keep)
                pending.pop_front();
        }
        if (posted)
            return;
        posted = true;
    }
    // Posting is safe from any thread while the receiver lives; it goes only with the
    // window, after the bridge has detached.
    QCoreApplication::postEvent(bridge->m_target, new CPrivateEvent(message, index));
}

void CEngineBridge::Deliver(std::size_t index)
{
    if (index >= m_routes.size())
        return;
    Route& route = *m_routes[index];
    std::deque<std::unique_ptr<CEventArgs>> records;
    {
        std::lock_guard<std::mutex> guard(route.mutex);
        records.swap(route.pending);
        route.posted = false;
    }
    if (route.refresh)
    {
        route.refresh();
        return;
    }
    for (const std::unique_ptr<CEventArgs>& record : records)
        route.handle(*record);
}
