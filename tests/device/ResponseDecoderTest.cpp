#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "device/QuillmereDeviceStatus.h"
#include "device/ResponseDecoder.h"
#include "StatusRecorder.h"

namespace
{
using Bytes = std::vector<unsigned char>;

// Mid-June, so the local year is 2024 in every time zone.
constexpr std::time_t kIn2024 = 1718452800;

// The bytes in a heap block of exactly their size, so a read past the frame trips ASan.
std::unique_ptr<unsigned char[]> Exact(const Bytes& bytes)
{
    auto block = std::make_unique<unsigned char[]>(bytes.empty() ? 1 : bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

DecodeResult Decode(CQuillmereDeviceStatus& status, int code, const Bytes& bytes, std::time_t now = kIn2024)
{
    const auto block = Exact(bytes);
    return DecodeResponse(status, code, block.get(), bytes.size(), now);
}

std::tm Local(std::time_t value)
{
    std::tm local{};
    localtime_r(&value, &local);
    return local;
}
}

// The relays are CRelayStates' alone: a relay status answer leaves the model untouched and
// raises no status record (it once raised five per answer).
TEST(ResponseDecoder, RelayStatusIsNotTheModels)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);
    const DecodeResult result = Decode(status, 1, {0x00, 0x01, 0x00, 0x05});
    EXPECT_EQ(result.logText, "");
    EXPECT_EQ(recorder.notifications, 0);
}

TEST(ResponseDecoder, UptimeIsBigEndian)
{
    CQuillmereDeviceStatus status;
    Decode(status, 4, {0x00, 0x01, 0x51, 0x80});
    EXPECT_EQ(status.GetUptime(), 86400);
    Decode(status, 4, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(status.GetUptime(), 0x12345678);
}

TEST(ResponseDecoder, DateAndTimeGivesFirmwareAndLocalClockInTheCurrentCentury)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);
    Decode(status, 6, {0x01, 0x02, 0x03, 0x02, 0xD0, 0x0C, 0x1F, 0x18});

    EXPECT_EQ(recorder.notifications, 2);
    EXPECT_EQ(status.GetFirmwareMajor(), 1);
    EXPECT_EQ(status.GetFirmwareMinor(), 2);
    EXPECT_EQ(status.GetFirmwareBuild(), 3);
    const std::tm clock = Local(status.GetDateTime());
    EXPECT_EQ(clock.tm_year + 1900, 2024);
    EXPECT_EQ(clock.tm_mon + 1, 12);
    EXPECT_EQ(clock.tm_mday, 31);
    EXPECT_EQ(clock.tm_hour, 12);
    EXPECT_EQ(clock.tm_min, 0);
    EXPECT_EQ(clock.tm_sec, 0);
}

TEST(ResponseDecoder, YearByteIsPlacedInThePcsCenturyNotTheNearestYear)
{
    CQuillmereDeviceStatus status;
    Decode(status, 6, {0x01, 0x00, 0x00, 0x05, 0x9F, 0x01, 0x01, 99});   // 23:59 on 1 January
    const std::tm clock = Local(status.GetDateTime());
    EXPECT_EQ(clock.tm_year + 1900, 2099);
    EXPECT_EQ(clock.tm_hour, 23);
    EXPECT_EQ(clock.tm_min, 59);
}

TEST(ResponseDecoder, LeapDayIsAcceptedInALeapYear)
{
    CQuillmereDeviceStatus status;
    Decode(status, 6, {1, 0, 0, 0, 0, 2, 29, 24});
    const std::tm clock = Local(status.GetDateTime());
    EXPECT_EQ(clock.tm_mon + 1, 2);
    EXPECT_EQ(clock.tm_mday, 29);
}

struct BadDate
{
    const char* name;
    Bytes payload;
};

class ResponseDecoderBadDate : public testing::TestWithParam<BadDate> {};

// A date the device cannot mean is shown as "Not Available" (0), never as some neighbouring
// date that normalisation would make of it; the firmware bytes are still good.
TEST_P(ResponseDecoderBadDate, StoresClockZeroButKeepsTheFirmware)
{
    CQuillmereDeviceStatus status;
    status.SetDateTime(1700000000);
    StatusRecorder recorder(status);
    Decode(status, 6, GetParam().payload);
    EXPECT_EQ(status.GetDateTime(), 0);
    EXPECT_EQ(status.GetFirmwareMajor(), 4);
    EXPECT_EQ(status.GetFirmwareMinor(), 5);
    EXPECT_EQ(status.GetFirmwareBuild(), 6);
    EXPECT_EQ(recorder.notifications, 2);
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, ResponseDecoderBadDate,
    testing::Values(BadDate{"MonthZero", {4, 5, 6, 0x02, 0xD0, 0, 15, 24}},
                    BadDate{"DayZero", {4, 5, 6, 0x02, 0xD0, 6, 0, 24}},
                    BadDate{"MonthThirteen", {4, 5, 6, 0x02, 0xD0, 13, 15, 24}},
                    BadDate{"DayThirtyTwo", {4, 5, 6, 0x02, 0xD0, 6, 32, 24}},
                    BadDate{"ThirtyFirstOfApril", {4, 5, 6, 0x02, 0xD0, 4, 31, 24}},
                    BadDate{"LeapDayInCommonYear", {4, 5, 6, 0x02, 0xD0, 2, 29, 23}},
                    BadDate{"HourTwentyFour", {4, 5, 6, 0x05, 0xA0, 6, 15, 24}},   // 1440 minutes
                    BadDate{"MinutesFarOutOfRange", {4, 5, 6, 0xFF, 0xFF, 6, 15, 24}}),
    [](const testing::TestParamInfo<BadDate>& info) { return info.param.name; });

TEST(ResponseDecoder, IccidOfNineteenDigitsAndTheLinksFillerHasNineteenCharacters)
{
    CQuillmereDeviceStatus status;
    Bytes payload;
    for (char c : std::string("8944500102198304826"))
        payload.push_back(static_cast<unsigned char>(c));
    payload.push_back(0xFF);
    Decode(status, 7, payload);
    EXPECT_EQ(status.GetIccid(), "8944500102198304826");
}

TEST(ResponseDecoder, IccidTakesAtMostTwentyBytesAndSkipsHighAndControlBytes)
{
    CQuillmereDeviceStatus status;
    Bytes payload = {'1', 0x80, '2', 0x00, '3', 0xC3};
    payload.resize(20, '9');
    payload.insert(payload.end(), {'X', 'Y'});   // beyond the identifier
    Decode(status, 7, payload);
    EXPECT_EQ(status.GetIccid(), "12399999999999999");
}

TEST(ResponseDecoder, ShortIccidFrameUsesOnlyTheBytesItCarried)
{
    CQuillmereDeviceStatus status;
    Decode(status, 7, {'8', '9', '4'});
    EXPECT_EQ(status.GetIccid(), "894");
    Decode(status, 7, {});
    EXPECT_EQ(status.GetIccid(), "");
}

struct RssiCase
{
    int raw;
    int dbm;
};

class ResponseDecoderRssi : public testing::TestWithParam<RssiCase> {};

TEST_P(ResponseDecoderRssi, MapsTheSignalQualityScaleToDbm)
{
    CQuillmereDeviceStatus status;
    Decode(status, 10, {static_cast<unsigned char>(GetParam().raw)});
    EXPECT_EQ(status.GetRssi(), GetParam().dbm);
}

INSTANTIATE_TEST_SUITE_P(Table, ResponseDecoderRssi,
                         testing::Values(RssiCase{0, -113}, RssiCase{1, -111}, RssiCase{2, -109},
                                         RssiCase{15, -83}, RssiCase{30, -53}, RssiCase{31, -51},
                                         RssiCase{32, 99}, RssiCase{99, 99}, RssiCase{255, 99}));

TEST(ResponseDecoder, OneByteFlagsAndRadioType)
{
    CQuillmereDeviceStatus status;
    Decode(status, 8, {0x02});
    EXPECT_TRUE(status.GetGsmActive());
    Decode(status, 8, {0x00});
    EXPECT_FALSE(status.GetGsmActive());
    Decode(status, 12, {0x80});
    EXPECT_TRUE(status.GetDoorOpen());
    Decode(status, 12, {0x00});
    EXPECT_FALSE(status.GetDoorOpen());
    Decode(status, 15, {0xC8});
    EXPECT_EQ(status.GetRadioType(), 200);
}

struct UnsolicitedCase
{
    const char* name;
    int code;
    Bytes payload;
    std::string logText;
    int notifications;
};

class ResponseDecoderUnsolicited : public testing::TestWithParam<UnsolicitedCase> {};

TEST_P(ResponseDecoderUnsolicited, GivesTheEventTextAndTouchesTheModelOnlyForDoorMessages)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);
    const DecodeResult result = Decode(status, GetParam().code, GetParam().payload);
    EXPECT_EQ(result.logText, GetParam().logText);
    EXPECT_EQ(recorder.notifications, GetParam().notifications);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ResponseDecoderUnsolicited,
    testing::Values(
        UnsolicitedCase{"RelayActiveByButton", 2, {3, 0, 1}, "Relay 3 state changed to active by button interface", 0},
        UnsolicitedCase{"RelayInactiveBySchedule", 2, {3, 1, 7}, "Relay 3 state changed to inactive by schedule", 0},
        UnsolicitedCase{"RelayByWeb", 2, {1, 0, 0}, "Relay 1 state changed to active by web interface", 0},
        UnsolicitedCase{"RelayStateAnyNonZeroIsInactive", 2, {4, 0xFF, 2},
                        "Relay 4 state changed to inactive by schedule", 0},
        UnsolicitedCase{"RelayFiveIgnored", 2, {5, 0, 0}, "", 0},
        UnsolicitedCase{"RelayZeroIgnored", 2, {0, 0, 0}, "", 0},
        UnsolicitedCase{"RelayMessageMissingSource", 2, {3, 0}, "", 0},
        UnsolicitedCase{"CoverOpened", 13, {1}, "Device cover was opened", 1},
        UnsolicitedCase{"CoverClosed", 13, {0}, "Device cover was closed", 1},
        UnsolicitedCase{"CoverByteTwoIgnored", 13, {2}, "", 0},
        UnsolicitedCase{"CoverByteFFIgnored", 13, {0xFF}, "", 0}),
    [](const testing::TestParamInfo<UnsolicitedCase>& info) { return info.param.name; });

TEST(ResponseDecoder, DoorMessageSetsTheDoorStateAndAnUnknownByteLeavesIt)
{
    CQuillmereDeviceStatus status;
    Decode(status, 13, {1});
    EXPECT_TRUE(status.GetDoorOpen());
    Decode(status, 13, {2});
    EXPECT_TRUE(status.GetDoorOpen());
    Decode(status, 13, {0});
    EXPECT_FALSE(status.GetDoorOpen());
}

struct IncompleteCase
{
    int code;
    std::size_t carried;   // bytes the frame brought, one short of what the code needs
};

class ResponseDecoderIncomplete : public testing::TestWithParam<IncompleteCase> {};

// A null payload (a code without one) or a frame shorter than its code needs must neither
// be read past its end nor change the model.
TEST_P(ResponseDecoderIncomplete, ChangesNothingAndRaisesNothing)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);

    const DecodeResult fromNull = DecodeResponse(status, GetParam().code, nullptr, 0, kIn2024);
    const DecodeResult fromNullWithLength = DecodeResponse(status, GetParam().code, nullptr, 56, kIn2024);
    const DecodeResult fromShort = Decode(status, GetParam().code, Bytes(GetParam().carried, 0x01));

    EXPECT_EQ(recorder.notifications, 0);
    for (const DecodeResult* result : {&fromNull, &fromNullWithLength, &fromShort})
        EXPECT_EQ(result->logText, "");
}

INSTANTIATE_TEST_SUITE_P(EveryDecodedCode, ResponseDecoderIncomplete,
                         testing::Values(IncompleteCase{1, 0}, IncompleteCase{2, 2}, IncompleteCase{4, 3},
                                         IncompleteCase{6, 7}, IncompleteCase{8, 0}, IncompleteCase{10, 0},
                                         IncompleteCase{12, 0}, IncompleteCase{13, 0}, IncompleteCase{15, 0}));

TEST(ResponseDecoder, CodesThatCarryNothingForTheModelDecodeNothing)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);
    const Bytes payload(56, 0x01);
    for (int code : {0, 3, 5, 9, 11, 14, 85, 128, 255, -1, 300})
    {
        const DecodeResult result = Decode(status, code, payload);
        EXPECT_EQ(result.logText, "") << code;
    }
    EXPECT_EQ(recorder.notifications, 0);
}

struct FailureCase
{
    const char* name;
    int code;
    bool resets;
    std::function<bool(const CQuillmereDeviceStatus&)> atNotAvailable;
};

class ResponseDecoderFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ResponseDecoderFailure, ResetsOnlyTheFieldOfTheFailedCommand)
{
    CQuillmereDeviceStatus status;
    status.SetUptime(100);
    status.SetDateTime(1700000000);
    status.SetFirmware(1, 2, 3);
    status.SetIccid("89");
    status.SetGsmActive(true);
    status.SetRssi(-53);
    status.SetDoorOpen(true);
    status.SetRadioType(1);
    StatusRecorder recorder(status);

    EXPECT_EQ(ResetFieldAfterFailure(status, GetParam().code), GetParam().resets);

    EXPECT_EQ(recorder.notifications, GetParam().resets ? 1 : 0);
    EXPECT_TRUE(GetParam().atNotAvailable(status));
    // Whatever was reset, the version and clock stay as the last good answers left them.
    EXPECT_EQ(status.GetFirmwareBuild(), 3);
    EXPECT_EQ(status.GetDateTime(), 1700000000);
    const int fieldsStillSet = (status.GetUptime() == 100) + (status.GetIccid() == "89") + status.GetGsmActive() +
                               (status.GetRssi() == -53) + status.GetDoorOpen() + (status.GetRadioType() == 1);
    EXPECT_EQ(fieldsStillSet, GetParam().resets ? 5 : 6);
}

INSTANTIATE_TEST_SUITE_P(
    ByCode, ResponseDecoderFailure,
    testing::Values(
        FailureCase{"Uptime", 4, true, [](const auto& s) { return s.GetUptime() == 0; }},
        FailureCase{"Gps", 7, true, [](const auto& s) { return s.GetIccid().empty(); }},
        FailureCase{"Gsm", 8, true, [](const auto& s) { return !s.GetGsmActive(); }},
        FailureCase{"Rssi", 10, true, [](const auto& s) { return s.GetRssi() == -2000; }},
        FailureCase{"Tamper", 12, true, [](const auto& s) { return !s.GetDoorOpen(); }},
        FailureCase{"Radio", 15, true, [](const auto& s) { return s.GetRadioType() == -1; }},
        FailureCase{"RelayStatus", 1, false, [](const auto&) { return true; }},
        FailureCase{"DateTime", 6, false, [](const auto&) { return true; }},
        FailureCase{"TamperUnsolicited", 13, false, [](const auto&) { return true; }},
        FailureCase{"RelayToggle", 9, false, [](const auto&) { return true; }}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(ResponseDecoder, DefaultClockUsesTheCurrentCentury)
{
    CQuillmereDeviceStatus status;
    const unsigned char payload[8] = {1, 0, 0, 0, 0, 1, 1, 50};
    DecodeResponse(status, 6, payload, sizeof payload);
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(Local(status.GetDateTime()).tm_year + 1900, (Local(now).tm_year + 1900) / 100 * 100 + 50);
}
