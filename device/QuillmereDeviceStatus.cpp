#include "QuillmereDeviceStatus.h"

#include <algorithm>
#include <utility>

#include "core/EventArgs.h"

void CQuillmereDeviceStatus::SetUptime(std::int32_t seconds)
{
    m_uptime.store(seconds);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetDateTime(std::time_t value)
{
    m_dateTime.store(value);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetFirmware(std::int32_t major, std::int32_t minor, std::int32_t build)
{
    {
        std::lock_guard lock(m_mutex);
        m_firmware = Firmware{major, minor, build};
    }
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetIccid(std::string iccid)
{
    {
        std::lock_guard lock(m_mutex);
        m_iccid = std::move(iccid);
    }
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetGsmActive(bool active)
{
    m_gsmActive.store(active);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetRssi(std::int32_t dbm)
{
    m_rssi.store(dbm);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetDoorOpen(bool open)
{
    m_doorOpen.store(open);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::SetRadioType(std::int32_t radioType)
{
    m_radioType.store(radioType);
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::ClearRelays()
{
    {
        std::lock_guard lock(m_mutex);
        m_relays.clear();
    }
    NotifyStatusChanged();
}

void CQuillmereDeviceStatus::AddRelay(CRelayStatus relay)
{
    {
        std::lock_guard lock(m_mutex);
        m_relays.push_back(std::move(relay));
    }
    NotifyStatusChanged();
}

CQuillmereDeviceStatus::Firmware CQuillmereDeviceStatus::GetFirmware() const
{
    std::lock_guard lock(m_mutex);
    return m_firmware;
}

std::string CQuillmereDeviceStatus::GetIccid() const
{
    std::lock_guard lock(m_mutex);
    return m_iccid;
}

std::vector<CRelayStatus> CQuillmereDeviceStatus::GetRelays() const
{
    std::lock_guard lock(m_mutex);
    return m_relays;
}

std::optional<CRelayStatus> CQuillmereDeviceStatus::FindRelay(std::int32_t index) const
{
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_relays.begin(), m_relays.end(),
                                    [index](const CRelayStatus& relay) { return relay.GetIndex() == index; });
    if (found == m_relays.end())
        return std::nullopt;
    return *found;
}

void CQuillmereDeviceStatus::NotifyStatusChanged()
{
    CStatusChangedEventArgs args;
    Notify(&args);
}
