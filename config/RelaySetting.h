#pragma once

#include <cstdint>
#include <string>

#include "RelayPermission.h"
#include "core/Subject.h"

// The operator's view of one relay of the device: its number, name and what may be done
// with it. Lives on the UI thread; the settings object owns it and observes it.
class CRelaySetting : public CSubject
{
public:
    // Index 0 (no relay of the device has it) and permission "On/Off", the same value an
    // unreadable permission text gets; the loader numbers entries that lack an Index.
    CRelaySetting() = default;
    virtual ~CRelaySetting() = default;

    std::int32_t GetIndex() const { return m_index; }
    const std::string& GetName() const { return m_name; }
    RelayPermission GetPermission() const { return m_permission; }

    // Each stores, then raises CRelaySettingChangedEventArgs unless suppressed.
    void SetIndex(std::int32_t index);
    void SetName(std::string name);
    void SetPermission(RelayPermission permission);

    void SetSuppressNotifications(bool suppress) { m_suppressNotifications = suppress; }
    bool IsSuppressingNotifications() const { return m_suppressNotifications; }

private:
    void NotifyChanged();

    bool m_suppressNotifications = false;
    std::int32_t m_index = 0;
    std::string m_name;
    RelayPermission m_permission = RelayPermissionOnOff;
};
