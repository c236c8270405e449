#pragma once

#include <functional>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <utility>

#include "core/EventArgs.h"

// A table from a record's type to the one handler that takes it, for an observer that sorts
// what its subjects raise. A record goes by its exact type: a subclass is a record of its own
// and reaches a handler only through a route of its own (the link's unasked answers, which
// derive from its answers, are so kept apart). Routes are set up before the first Attach and
// stay; Dispatch then only reads the table, from whatever thread notifies.
class CRecordRoutes
{
public:
    template <typename T>
    void On(std::function<void(const T&)> handler)
    {
        m_routes[std::type_index(typeid(T))] = [handler = std::move(handler)](const CEventArgs& record) {
            handler(static_cast<const T&>(record));
        };
    }

    // Records of T need nothing of this observer (said, so that a reader sees it was thought of).
    template <typename T>
    void Ignore()
    {
        m_routes[std::type_index(typeid(T))] = {};
    }

    // False for a null record or one no route names.
    bool Dispatch(const CEventArgs* record) const
    {
        if (record == nullptr)
            return false;
        const auto route = m_routes.find(std::type_index(typeid(*record)));
        if (route == m_routes.end())
            return false;
        if (route->second)
            route->second(*record);
        return true;
    }

private:
    std::unordered_map<std::type_index, std::function<void(const CEventArgs&)>> m_routes;
};
