#include "DeviceState.h"

#include <cstdio>
#include <sstream>

namespace
{
// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil calendar algorithm).
std::int64_t DaysFromCivil(int year, int month, int day)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t days, int& year, int& month, int& day)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int doe = static_cast<int>(days - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400) + (month <= 2 ? 1 : 0);
}

int DaysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// A unit answers the switch-on of its unsolicited messages with a frame of the same code; its
// first payload byte is 0xFF so that the host, which reads that byte as a relay number or a
// door state, sees neither a relay change nor a door change in it.
constexpr std::uint8_t kNotAnEvent = 0xFF;
}  // namespace

Reply Reply::MakeFrame(std::uint8_t code, wire::Bytes payload)
{
    Reply reply;
    reply.kind = Kind::Frame;
    reply.code = code;
    reply.payload = std::move(payload);
    return reply;
}

Reply Reply::MakeNak()
{
    Reply reply;
    reply.kind = Kind::Nak;
    return reply;
}

Reply Reply::MakeAck()
{
    Reply reply;
    reply.kind = Kind::Ack;
    return reply;
}

wire::Bytes Reply::Encode() const
{
    switch (kind)
    {
    case Kind::Frame:
        return wire::BuildFrame(code, payload);
    case Kind::Ack:
        return {wire::kAck};
    case Kind::Nak:
        return {wire::kNak};
    case Kind::None:
        break;
    }
    return {};
}

CDeviceState::CDeviceState(std::uint64_t nowMs, std::uint32_t cycleMs)
    : m_cycleMs(cycleMs), m_clockSetAt(nowMs), m_uptimeSetAt(nowMs)
{
    m_clockBase = DaysFromCivil(2000, 1, 1) * 86400;
}

Reply CDeviceState::Handle(std::uint8_t code, const wire::Bytes& payload, std::uint64_t nowMs)
{
    Tick(nowMs);
    const std::size_t n = payload.size();
    // Every command has one fixed payload length; a frame that differs is refused like an
    // unknown code, rather than guessed at.
    switch (code)
    {
    case wire::code::kRelayStatus:
        if (n == 0)
            return Reply::MakeFrame(code, RelayStatusPayload());
        break;
    case wire::code::kUnsolicitedRelay:
    case wire::code::kTamperUnsolicited:
        if (n == 1 && payload[0] <= 1)
        {
            (code == wire::code::kUnsolicitedRelay ? m_unsolicitedRelay : m_unsolicitedDoor) = payload[0] == 1;
            switch (m_enableAnswer)
            {
            case EnableAnswer::Echo:
                return Reply::MakeFrame(code, {payload[0]});
            case EnableAnswer::State:
                if (code == wire::code::kTamperUnsolicited)
                    return Reply::MakeFrame(code, {m_door});
                return Reply::MakeFrame(code, {1, m_relays[0], 1});
            case EnableAnswer::Marker:
                break;
            }
            return Reply::MakeFrame(code, {kNotAnEvent, payload[0]});
        }
        break;
    case wire::code::kUnsolicitedStatus:
        if (n == 0)
            return Reply::MakeFrame(code, {static_cast<std::uint8_t>(m_unsolicitedRelay),
                                           static_cast<std::uint8_t>(m_unsolicitedDoor)});
        break;
    case wire::code::kUptime:
        if (n == 0)
            return Reply::MakeFrame(code, UptimePayload(nowMs));
        break;
    case wire::code::kRelayCycle:
        if (n == 1 && payload[0] >= 1 && payload[0] <= kRelayCount)
        {
            const std::size_t i = payload[0] - 1u;
            if (!m_cycleEnd[i])
                m_cycleRestore[i] = m_relays[i];
            m_relays[i] = kRelayOff;
            m_cycleEnd[i] = nowMs + m_cycleMs;
            return Reply::MakeFrame(code, {payload[0]});
        }
        break;
    case wire::code::kDateTime:
        if (n == 0)
            return Reply::MakeFrame(code, DateTimePayload(nowMs));
        break;
    case wire::code::kGps:
        if (n == 0)
            return Reply::MakeFrame(code, GpsPayload());
        break;
    case wire::code::kGsm:
    case wire::code::kRssi:
    case wire::code::kTamperStatus:
    case wire::code::kRadio:
    case wire::code::kPower:
    case wire::code::kPowerAlt:
        if (n == 0)
        {
            std::uint8_t value = m_power;
            if (code == wire::code::kGsm)
                value = m_gsm;
            else if (code == wire::code::kRssi)
                value = m_rssi;
            else if (code == wire::code::kTamperStatus)
                value = m_door;
            else if (code == wire::code::kRadio)
                value = m_radio;
            return Reply::MakeFrame(code, {value});
        }
        break;
    case wire::code::kRelayToggle:
        if (n == 2 && payload[0] >= 1 && payload[0] <= kRelayCount && payload[1] <= 1)
        {
            const std::size_t i = payload[0] - 1u;
            m_cycleEnd[i].reset();   // an explicit switch ends a running power cycle
            m_relays[i] = payload[1];
            return Reply::MakeFrame(code, {payload[0], payload[1]});
        }
        break;
    case wire::code::kReset:
        if (n == 1 && payload[0] == wire::kResetKey)
        {
            Reset(nowMs);
            return Reply::MakeFrame(code, {});
        }
        break;
    case wire::code::kRequestUpgrade:
        if (n == 0)
        {
            Reply reply = m_upgradeAnswer == UpgradeAnswer::Ack ? Reply::MakeAck() : Reply::MakeFrame(code, {});
            reply.startUpgrade = true;
            return reply;
        }
        break;
    default:
        break;
    }
    return Reply::MakeNak();
}

std::optional<std::uint64_t> CDeviceState::Tick(std::uint64_t nowMs)
{
    std::optional<std::uint64_t> next;
    for (std::size_t i = 0; i < m_cycleEnd.size(); ++i)
    {
        if (!m_cycleEnd[i])
            continue;
        if (*m_cycleEnd[i] <= nowMs)
        {
            m_relays[i] = m_cycleRestore[i];
            m_cycleEnd[i].reset();
        }
        else if (!next || *m_cycleEnd[i] < *next)
        {
            next = m_cycleEnd[i];
        }
    }
    return next;
}

wire::Bytes CDeviceState::RelayStatusPayload() const
{
    return wire::Bytes(m_relays.begin(), m_relays.end());
}

wire::Bytes CDeviceState::UptimePayload(std::uint64_t nowMs) const
{
    const std::uint32_t s = UptimeAt(nowMs);
    return {static_cast<std::uint8_t>(s >> 24), static_cast<std::uint8_t>(s >> 16),
            static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s)};
}

wire::Bytes CDeviceState::DateTimePayload(std::uint64_t nowMs) const
{
    wire::Bytes payload;
    payload.reserve(8);   // see BuildFrame: avoids a false -Warray-bounds in GCC 12
    payload.push_back(m_fwMajor);
    payload.push_back(m_fwMinor);
    payload.push_back(m_fwBuild);
    if (m_rawClock)
    {
        payload.insert(payload.end(), m_rawClock->begin(), m_rawClock->end());
        return payload;
    }
    const CivilTime t = *ClockAt(nowMs);
    const int minutes = t.hour * 60 + t.minute;
    payload.push_back(static_cast<std::uint8_t>(minutes >> 8));
    payload.push_back(static_cast<std::uint8_t>(minutes & 0xFF));
    payload.push_back(static_cast<std::uint8_t>(t.month));
    payload.push_back(static_cast<std::uint8_t>(t.day));
    payload.push_back(static_cast<std::uint8_t>(t.year % 100));
    return payload;
}

wire::Bytes CDeviceState::GpsPayload() const
{
    // The identifier field is always 20 bytes; a shorter identifier is padded with 0xFF,
    // which the host skips as a byte with the high bit set.
    wire::Bytes payload(m_iccid.begin(), m_iccid.end());
    payload.resize(20, 0xFF);
    return payload;
}

bool CDeviceState::SetRelay(int relay, std::uint8_t state)
{
    if (relay < 1 || relay > kRelayCount)
        return false;
    const std::size_t i = static_cast<std::size_t>(relay - 1);
    m_cycleEnd[i].reset();
    m_relays[i] = state;
    return true;
}

bool CDeviceState::SetClock(const CivilTime& t, std::uint64_t nowMs)
{
    if (t.year < 1970 || t.year > 2199 || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
        t.minute > 59 || t.second < 0 || t.second > 59)
        return false;
    m_rawClock.reset();
    m_clockBase = DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    m_clockSetAt = nowMs;
    return true;
}

void CDeviceState::SetRawClock(std::uint16_t minutes, std::uint8_t month, std::uint8_t day, std::uint8_t year)
{
    m_rawClock = std::array<std::uint8_t, 5>{static_cast<std::uint8_t>(minutes >> 8),
                                             static_cast<std::uint8_t>(minutes & 0xFF), month, day, year};
}

std::optional<CivilTime> CDeviceState::ClockAt(std::uint64_t nowMs) const
{
    if (m_rawClock)
        return std::nullopt;
    const std::int64_t seconds = m_clockBase + static_cast<std::int64_t>((nowMs - m_clockSetAt) / 1000);
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0)
    {
        rest += 86400;
        --days;
    }
    CivilTime t;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

void CDeviceState::SetFirmware(std::uint8_t major, std::uint8_t minor, std::uint8_t build)
{
    m_fwMajor = major;
    m_fwMinor = minor;
    m_fwBuild = build;
}

bool CDeviceState::SetIccid(const std::string& digits)
{
    if (digits.size() > 20)
        return false;
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    m_iccid = digits;
    return true;
}

void CDeviceState::SetUptime(std::uint32_t seconds, std::uint64_t nowMs)
{
    m_uptimeBase = seconds;
    m_uptimeSetAt = nowMs;
}

std::uint32_t CDeviceState::UptimeAt(std::uint64_t nowMs) const
{
    // The counter is 32 bits on the wire and wraps like one.
    return static_cast<std::uint32_t>(m_uptimeBase + (nowMs - m_uptimeSetAt) / 1000);
}

void CDeviceState::Reset(std::uint64_t nowMs)
{
    for (std::size_t i = 0; i < m_cycleEnd.size(); ++i)
        if (m_cycleEnd[i])
        {
            m_relays[i] = m_cycleRestore[i];
            m_cycleEnd[i].reset();
        }
    SetUptime(0, nowMs);
    m_unsolicitedRelay = false;
    m_unsolicitedDoor = false;
    ++m_resets;
}

std::string CDeviceState::Describe(std::uint64_t nowMs) const
{
    std::ostringstream out;
    // Values hold no spaces, so the line splits cleanly at them.
    std::string relays = wire::ToHex(RelayStatusPayload());
    std::string rawClock = m_rawClock ? wire::ToHex(wire::Bytes(m_rawClock->begin(), m_rawClock->end())) : "";
    for (std::string* text : {&relays, &rawClock})
        for (char& c : *text)
            if (c == ' ')
                c = ',';
    out << "relays=" << relays << " uptime=" << UptimeAt(nowMs);
    if (const auto t = ClockAt(nowMs))
    {
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t->year, t->month, t->day, t->hour,
                      t->minute, t->second);
        out << " clock=" << text;
    }
    else
    {
        out << " clock=raw:" << rawClock;
    }
    out << " firmware=" << int{m_fwMajor} << '.' << int{m_fwMinor} << '.' << int{m_fwBuild}
        << " iccid=" << (m_iccid.empty() ? "none" : m_iccid) << " gsm=" << int{m_gsm} << " rssi=" << int{m_rssi}
        << " door=" << int{m_door} << " radio=" << int{m_radio} << " power=" << int{m_power}
        << " unsolicited-relay=" << (m_unsolicitedRelay ? "on" : "off")
        << " unsolicited-door=" << (m_unsolicitedDoor ? "on" : "off") << " resets=" << m_resets;
    return out.str();
}
