#include "ResponseDecoder.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "protocol/CommandCodes.h"
#include "QuillmereDeviceStatus.h"
#include "RelayStates.h"

namespace
{
constexpr std::size_t kUptimeBytes = 4;
constexpr std::size_t kDateTimeBytes = 8;
constexpr std::size_t kIccidBytes = 20;

constexpr std::int32_t kRssiAboveScale = 99;

constexpr const char* kRelayChangedFormat = "Relay %d state changed to %s by %s";
constexpr const char* kCoverFormat = "Device cover was %s";

constexpr int kMinutesPerDay = 24 * 60;

std::int32_t RssiToDbm(unsigned char raw)
{
    // The cellular signal-quality scale: 0 is -113 dBm or less, 31 is -51 dBm or more, 2 dBm
    // a step; everything from 32 up means "not known" and is kept as 99.
    if (raw > 31)
        return kRssiAboveScale;
    return 2 * static_cast<std::int32_t>(raw) - 113;
}

std::string RelayChangedText(int relay, const char* state, const char* source)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, kRelayChangedFormat, relay, state, source);
    return buffer;
}

std::string CoverText(const char* change)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, kCoverFormat, change);
    return buffer;
}

// The device clock carries no century and no seconds. A field out of range, or a day past the
// end of its month, yields nothing rather than the neighbouring date mktime would normalise to.
std::optional<std::time_t> DeviceLocalTime(const unsigned char* p, std::time_t now)
{
    const int minutes = p[3] * 256 + p[4];
    const int month = p[5];
    const int day = p[6];
    if (month < 1 || month > 12 || day < 1 || day > 31 || minutes >= kMinutesPerDay)
        return std::nullopt;

    std::tm nowLocal{};
    if (localtime_r(&now, &nowLocal) == nullptr)
        return std::nullopt;
    const int year = (nowLocal.tm_year + 1900) / 100 * 100 + p[7];

    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = minutes / 60;
    local.tm_min = minutes % 60;
    local.tm_sec = 0;
    local.tm_isdst = -1;   // let the system decide daylight saving for that date
    const std::time_t value = std::mktime(&local);
    // Only the date is compared: a time inside a daylight-saving gap legitimately moves.
    if (value == static_cast<std::time_t>(-1) || local.tm_year != year - 1900 || local.tm_mon != month - 1 ||
        local.tm_mday != day)
        return std::nullopt;
    return value;
}

std::string IccidFrom(const unsigned char* p, std::size_t length)
{
    std::string iccid;
    const std::size_t count = length < kIccidBytes ? length : kIccidBytes;
    for (std::size_t i = 0; i < count; ++i)
    {
        // Bytes with the high bit set are the link's and the device's fillers (0xFF). Control
        // bytes are skipped too: a zero-filled tail would otherwise put NULs into the text.
        if (p[i] >= 0x80 || p[i] < 0x20)
            continue;
        iccid.push_back(static_cast<char>(p[i]));
    }
    return iccid;
}

const char* RelayChangeSource(unsigned char source)
{
    switch (source)
    {
    case 0: return "web interface";
    case 1: return "button interface";
    default: return "schedule";
    }
}
}

DecodeResult DecodeResponse(CQuillmereDeviceStatus& status, int code, const unsigned char* payload,
                            std::size_t length)
{
    return DecodeResponse(status, code, payload, length, std::time(nullptr));
}

DecodeResult DecodeResponse(CQuillmereDeviceStatus& status, int code, const unsigned char* payload,
                            std::size_t length, std::time_t now)
{
    DecodeResult result;
    if (payload == nullptr)
        return result;

    switch (code)
    {
    case CommandCode::UnsolicitedResponses:
        if (const std::optional<CUnsolicitedRelayMessage> message = CRelayStates::ReadUnsolicited(payload, length))
            result.logText = RelayChangedText(message->Relay, message->State == 0 ? "active" : "inactive",
                                              RelayChangeSource(message->Source));
        break;

    case CommandCode::Uptime:
        if (length < kUptimeBytes)
            break;
        status.SetUptime(static_cast<std::int32_t>(static_cast<std::uint32_t>(payload[0]) << 24 |
                                                   static_cast<std::uint32_t>(payload[1]) << 16 |
                                                   static_cast<std::uint32_t>(payload[2]) << 8 | payload[3]));
        break;

    case CommandCode::DateTime:
        if (length < kDateTimeBytes)
            break;
        status.SetFirmware(payload[0], payload[1], payload[2]);
        status.SetDateTime(DeviceLocalTime(payload, now).value_or(0));
        break;

    case CommandCode::Gps:
        status.SetIccid(IccidFrom(payload, length));
        break;

    case CommandCode::GsmStatus:
        if (length >= 1)
            status.SetGsmActive(payload[0] != 0);
        break;

    case CommandCode::Rssi:
        if (length >= 1)
            status.SetRssi(RssiToDbm(payload[0]));
        break;

    case CommandCode::TamperStatus:
        if (length >= 1)
            status.SetDoorOpen(payload[0] != 0);
        break;

    case CommandCode::TamperUnsolicited:
        if (length < 1 || payload[0] > 1)
            break;
        status.SetDoorOpen(payload[0] == 1);
        result.logText = CoverText(payload[0] == 1 ? "opened" : "closed");
        break;

    case CommandCode::RadioCapability:
        if (length >= 1)
            status.SetRadioType(payload[0]);
        break;

    default:
        break;
    }
    return result;
}

bool ResetFieldAfterFailure(CQuillmereDeviceStatus& status, int code)
{
    switch (code)
    {
    case CommandCode::Uptime: status.SetUptime(0); return true;
    case CommandCode::Gps: status.SetIccid(std::string()); return true;
    case CommandCode::GsmStatus: status.SetGsmActive(false); return true;
    case CommandCode::Rssi: status.SetRssi(CQuillmereDeviceStatus::RssiNotAvailable); return true;
    case CommandCode::TamperStatus: status.SetDoorOpen(false); return true;
    case CommandCode::RadioCapability: status.SetRadioType(CQuillmereDeviceStatus::RadioTypeNotAvailable); return true;
    default: return false;
    }
}
