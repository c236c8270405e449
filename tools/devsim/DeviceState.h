#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "Wire.h"

// A calendar date and time of the unit's clock, with no time zone: the unit keeps local time.
struct CivilTime
{
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// What the unit sends back for one command frame.
struct Reply
{
    enum class Kind
    {
        None,
        Frame,
        Ack,
        Nak
    };
    Kind kind = Kind::None;
    std::uint8_t code = 0;
    wire::Bytes payload;
    bool startUpgrade = false;   // the XModem receiver takes the line after this reply

    static Reply MakeFrame(std::uint8_t code, wire::Bytes payload);
    static Reply MakeNak();
    static Reply MakeAck();
    wire::Bytes Encode() const;
};

// The simulated unit's state and its answer to every command code. Time is passed in as a
// monotonic millisecond count, so the clock, the uptime and relay power cycles can be driven
// by tests without waiting.
class CDeviceState
{
public:
    static constexpr int kRelayCount = 4;
    // A relay byte of 0 means the relay is active (its equipment powered); anything else inactive.
    static constexpr std::uint8_t kRelayOn = 0;
    static constexpr std::uint8_t kRelayOff = 1;

    enum class UpgradeAnswer
    {
        Frame,
        Ack
    };
    // How the switch-on of unsolicited messages is answered: a marker byte and the parameter,
    // the parameter alone, or the present state (the door byte; relay 1 as a relay message).
    enum class EnableAnswer
    {
        Marker,
        Echo,
        State
    };

    explicit CDeviceState(std::uint64_t nowMs, std::uint32_t cycleMs = 5000);

    Reply Handle(std::uint8_t code, const wire::Bytes& payload, std::uint64_t nowMs);

    // Ends relay power cycles that are due. Returns the time of the next one, if any.
    std::optional<std::uint64_t> Tick(std::uint64_t nowMs);

    // Payloads of the status answers.
    wire::Bytes RelayStatusPayload() const;
    wire::Bytes UptimePayload(std::uint64_t nowMs) const;
    wire::Bytes DateTimePayload(std::uint64_t nowMs) const;
    wire::Bytes GpsPayload() const;

    // Setters used by the control channel; false when the value is out of range.
    bool SetRelay(int relay, std::uint8_t state);
    std::uint8_t GetRelay(int relay) const { return m_relays.at(static_cast<std::size_t>(relay - 1)); }
    bool SetClock(const CivilTime& time, std::uint64_t nowMs);
    // Frozen clock bytes, sent as they are; lets a test send dates the host cannot convert.
    void SetRawClock(std::uint16_t minutes, std::uint8_t month, std::uint8_t day, std::uint8_t year);
    std::optional<CivilTime> ClockAt(std::uint64_t nowMs) const;   // empty while frozen raw
    void SetFirmware(std::uint8_t major, std::uint8_t minor, std::uint8_t build);
    bool SetIccid(const std::string& digits);   // 1 to 20 digits; empty text means no SIM
    const std::string& GetIccid() const { return m_iccid; }
    void SetUptime(std::uint32_t seconds, std::uint64_t nowMs);
    std::uint32_t UptimeAt(std::uint64_t nowMs) const;
    void SetGsm(std::uint8_t value) { m_gsm = value; }
    void SetRssi(std::uint8_t value) { m_rssi = value; }
    void SetDoor(std::uint8_t value) { m_door = value; }
    void SetRadio(std::uint8_t value) { m_radio = value; }
    void SetPower(std::uint8_t value) { m_power = value; }
    void SetUpgradeAnswer(UpgradeAnswer answer) { m_upgradeAnswer = answer; }
    void SetEnableAnswer(EnableAnswer answer) { m_enableAnswer = answer; }

    bool UnsolicitedRelayEnabled() const { return m_unsolicitedRelay; }
    bool UnsolicitedDoorEnabled() const { return m_unsolicitedDoor; }
    int ResetCount() const { return m_resets; }

    // One line of "key=value" pairs for the control channel.
    std::string Describe(std::uint64_t nowMs) const;

private:
    void Reset(std::uint64_t nowMs);

    std::array<std::uint8_t, kRelayCount> m_relays{};
    // While a relay is power-cycled it is off until the time here, then back to the saved state.
    std::array<std::optional<std::uint64_t>, kRelayCount> m_cycleEnd{};
    std::array<std::uint8_t, kRelayCount> m_cycleRestore{};
    std::uint32_t m_cycleMs;

    std::int64_t m_clockBase = 0;        // civil seconds since 1970 at m_clockSetAt
    std::uint64_t m_clockSetAt = 0;
    std::optional<std::array<std::uint8_t, 5>> m_rawClock;

    std::uint32_t m_uptimeBase = 0;
    std::uint64_t m_uptimeSetAt = 0;

    std::uint8_t m_fwMajor = 3;
    std::uint8_t m_fwMinor = 1;
    std::uint8_t m_fwBuild = 7;
    std::string m_iccid = "8944500102198304826";
    std::uint8_t m_gsm = 1;
    std::uint8_t m_rssi = 18;
    std::uint8_t m_door = 0;
    std::uint8_t m_radio = 1;
    std::uint8_t m_power = 1;
    bool m_unsolicitedRelay = false;
    bool m_unsolicitedDoor = false;
    UpgradeAnswer m_upgradeAnswer = UpgradeAnswer::Frame;
    EnableAnswer m_enableAnswer = EnableAnswer::Marker;
    int m_resets = 0;
};
