#include "QuillmereDeviceStatus.h"

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

void CQuillmereDeviceStatus::NotifyStatusChanged()
{
    CStatusChangedEventArgs args;
    Notify(&args);
}
