#pragma once

#include <cstddef>
#include <mutex>
#include <thread>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"

// Remembers every record it is handed: which object, of which class, on which thread.
class RecordingObserver : public CObserver
{
public:
    struct Record
    {
        const CEventArgs* args;
        std::type_index type;
        std::thread::id thread;
    };

    void Update(CEventArgs* args) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.push_back({args, args ? std::type_index(typeid(*args)) : std::type_index(typeid(void)),
                             std::this_thread::get_id()});
    }

    std::vector<Record> Records() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_records;
    }

    std::size_t Total() const { return Records().size(); }

    template <typename T>
    std::size_t Count() const
    {
        std::size_t n = 0;
        for (const Record& r : Records())
            n += r.type == std::type_index(typeid(T));
        return n;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<Record> m_records;
};
