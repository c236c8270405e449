#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "core/Subject.h"

// The last known state of the device, its relays excepted (CRelayStates decides those).
// Written on the link worker thread while the pages read it on the UI thread: scalars are
// atomic, and everything wider than one word (the ICCID, the three-part firmware version)
// sits under one mutex and is handed out as a copy. Observers are always called with the mutex released, so an
// observer may read the model from Update.
class CQuillmereDeviceStatus final : public CSubject
{
public:
    // Values that the status page shows as "Not Available".
    static constexpr std::int32_t RssiNotAvailable = -2000;
    static constexpr std::int32_t RadioTypeNotAvailable = -1;
    // A signal strength at or below this is no signal at all: shown as "Not Available" and
    // published as none.
    static constexpr std::int32_t RssiNoSignal = -1000;
    static bool HasSignal(std::int32_t dbm) { return dbm > RssiNoSignal; }

    struct Firmware
    {
        std::int32_t major = 0;
        std::int32_t minor = 0;
        std::int32_t build = 0;
    };

    CQuillmereDeviceStatus() = default;
    ~CQuillmereDeviceStatus() = default;

    std::string_view GetRuntimeClassName() const override { return "CQuillmereDeviceStatus"; }

    // Every setter stores, then raises one CStatusChangedEventArgs, changed value or not.
    void SetUptime(std::int32_t seconds);
    void SetDateTime(std::time_t value);
    void SetFirmware(std::int32_t major, std::int32_t minor, std::int32_t build);
    void SetIccid(std::string iccid);
    void SetGsmActive(bool active);
    void SetRssi(std::int32_t dbm);
    void SetDoorOpen(bool open);
    void SetRadioType(std::int32_t radioType);

    std::int32_t GetUptime() const { return m_uptime.load(); }
    std::time_t GetDateTime() const { return m_dateTime.load(); }
    Firmware GetFirmware() const;
    std::int32_t GetFirmwareMajor() const { return GetFirmware().major; }
    std::int32_t GetFirmwareMinor() const { return GetFirmware().minor; }
    std::int32_t GetFirmwareBuild() const { return GetFirmware().build; }
    std::string GetIccid() const;
    bool GetGsmActive() const { return m_gsmActive.load(); }
    std::int32_t GetRssi() const { return m_rssi.load(); }
    bool GetDoorOpen() const { return m_doorOpen.load(); }
    std::int32_t GetRadioType() const { return m_radioType.load(); }

    void NotifyStatusChanged();

private:
    std::atomic<std::int32_t> m_uptime{0};
    std::atomic<std::time_t> m_dateTime{0};
    std::atomic<bool> m_gsmActive{false};
    std::atomic<std::int32_t> m_rssi{RssiNotAvailable};
    std::atomic<bool> m_doorOpen{false};
    std::atomic<std::int32_t> m_radioType{0};

    mutable std::mutex m_mutex;
    std::string m_iccid;
    Firmware m_firmware;
};
