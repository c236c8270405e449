#include "RelaySetting.h"

#include <utility>

#include "core/EventArgs.h"

void CRelaySetting::SetIndex(std::int32_t index)
{
    m_index = index;
    NotifyChanged();
}

void CRelaySetting::SetName(std::string name)
{
    m_name = std::move(name);
    NotifyChanged();
}

void CRelaySetting::SetPermission(RelayPermission permission)
{
    m_permission = permission;
    NotifyChanged();
}

void CRelaySetting::NotifyChanged()
{
    if (m_suppressNotifications)
        return;
    CRelaySettingChangedEventArgs args;
    Notify(&args);
}
