#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"

class CSubject;

// The one road from the engine to a window. Subjects notify on their own threads (the link
// worker, ping threads, whoever writes the log); the bridge is the window's observer there:
// it copies what the window asked for, posts a private message to the window's thread, and
// hands the copies to the window's typed handler when the message arrives.
//
// It coalesces: per route at most one message waits at a time. Records raised meanwhile
// join it (at most `keep` of them, the oldest dropped) and refreshes carry no record at
// all, so a flood from the unit costs the window one handler run per loop turn and bounded
// memory.
//
// Routes are set up on the UI thread before the first Attach, and stay. The window owns
// the bridge; the bridge detaches from every subject when it goes, and its receiver is a
// child of the window, so a message still queued dies with the window.
class CEngineBridge final : public CObserver
{
public:
    explicit CEngineBridge(QObject* window);
    ~CEngineBridge();
    CEngineBridge(const CEngineBridge&) = delete;
    CEngineBridge& operator=(const CEngineBridge&) = delete;

    // A null subject is ignored.
    void Attach(CSubject* subject);
    void DetachAll();

    // Records of T (or a subclass) for which `wanted` holds (all, without it) are copied on
    // the raising thread and handed over in raising order.
    template <typename T>
    void OnRecord(int message, std::function<void(const T&)> handler, std::size_t keep = 1,
                  std::function<bool(const T&)> wanted = {})
    {
        auto route = std::make_unique<Route>();
        route->message = message;
        route->keep = keep == 0 ? 1 : keep;
        route->offer = [wanted = std::move(wanted)](CEventArgs* args, Route& self) {
            auto* record = dynamic_cast<T*>(args);
            if (record == nullptr)
                return false;
            if (!wanted || wanted(*record))
                self.Queue(CopyOf(*record));
            return true;
        };
        route->handle = [handler = std::move(handler)](const CEventArgs& record) {
            handler(static_cast<const T&>(record));
        };
        m_routes.push_back(std::move(route));
    }

    // Records of T ask for one run of `refresh`. `note` (optional) runs first on the raising
    // thread with the record, where it may read the model that raised it; it returns false
    // when the record needs no refresh.
    template <typename T>
    void OnRefresh(int message, std::function<void()> refresh, std::function<bool(const T&)> note = {})
    {
        auto route = std::make_unique<Route>();
        route->message = message;
        route->offer = [note = std::move(note)](CEventArgs* args, Route& self) {
            const T* record = dynamic_cast<T*>(args);
            if (record == nullptr)
            {
                // A null record (a bare Notify) reaches only a refresh for any record.
                if constexpr (!std::is_same_v<T, CEventArgs>)
                    return false;
            }
            if (!note || record == nullptr || note(*record))
                self.Queue(nullptr);
            return true;
        };
        route->refresh = std::move(refresh);
        m_routes.push_back(std::move(route));
    }

    void Update(CEventArgs* args) override;

private:
    class CReceiver;

    struct Route
    {
        int message = 0;
        std::size_t keep = 1;
        std::size_t index = 0;
        std::function<bool(CEventArgs*, Route&)> offer;
        std::function<void(const CEventArgs&)> handle;
        std::function<void()> refresh;
        CEngineBridge* bridge = nullptr;

        std::mutex mutex;
        std::deque<std::unique_ptr<CEventArgs>> pending;   // guarded by mutex
        bool posted = false;                               // guarded by mutex

        void Queue(std::unique_ptr<CEventArgs> record);
    };

    template <typename T>
    static std::unique_ptr<CEventArgs> CopyOf(const T& record)
    {
        if constexpr (requires { record.Clone(); })
            return record.Clone();   // keeps the subclass
        else
            return std::make_unique<T>(record);
    }

    void Deliver(std::size_t route);

    CReceiver* m_target;              // posted to from any thread; lives as long as the window
    QPointer<CReceiver> m_receiver;   // UI thread only
    std::vector<std::unique_ptr<Route>> m_routes;
    std::vector<CSubject*> m_subjects;
    std::atomic<bool> m_alive{true};
};
