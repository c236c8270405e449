#include <gtest/gtest.h>

#include "DeviceState.h"

namespace
{
using wire::Bytes;

Bytes Encoded(CDeviceState& unit, std::uint8_t code, const Bytes& payload = {}, std::uint64_t now = 0)
{
    return unit.Handle(code, payload, now).Encode();
}

TEST(DeviceState, RelayStatusCarriesOneByteWhereZeroMeansActive)
{
    CDeviceState unit(0);
    EXPECT_EQ(Encoded(unit, 1), (Bytes{0x02, 0x01, 0x04, 0, 0, 0, 0, 0x05, 0x03}));
    ASSERT_TRUE(unit.SetRelay(2, CDeviceState::kRelayOff));
    ASSERT_TRUE(unit.SetRelay(4, 5));   // any non-zero byte reads as inactive on the host
    EXPECT_EQ(unit.RelayStatusPayload(), (Bytes{0, 1, 0, 5}));
    EXPECT_FALSE(unit.SetRelay(0, 0));
    EXPECT_FALSE(unit.SetRelay(5, 0));
}

TEST(DeviceState, UptimeIsBigEndianSecondsAndWrapsAt32Bits)
{
    CDeviceState unit(0);
    unit.SetUptime(86400, 1000);
    EXPECT_EQ(unit.UptimePayload(1000), (Bytes{0x00, 0x01, 0x51, 0x80}));
    EXPECT_EQ(unit.UptimePayload(3999), (Bytes{0x00, 0x01, 0x51, 0x82}));
    unit.SetUptime(0xFFFFFFFFu, 0);
    EXPECT_EQ(unit.UptimePayload(1000), (Bytes{0, 0, 0, 0}));
}

TEST(DeviceState, DateTimeCarriesFirmwareThenMinutesMonthDayYear)
{
    CDeviceState unit(0);
    unit.SetFirmware(1, 2, 3);
    ASSERT_TRUE(unit.SetClock({2024, 12, 31, 12, 0, 0}, 0));
    EXPECT_EQ(unit.DateTimePayload(0), (Bytes{0x01, 0x02, 0x03, 0x02, 0xD0, 0x0C, 0x1F, 0x18}));
    EXPECT_EQ(Encoded(unit, 6).size(), 5u + 8u);
}

TEST(DeviceState, ClockRunsOnAcrossMidnightAndTheYearEnd)
{
    CDeviceState unit(0);
    ASSERT_TRUE(unit.SetClock({2099, 12, 31, 23, 59, 30}, 10'000));
    const Bytes later = unit.DateTimePayload(10'000 + 45'000);
    // 2100-01-01 00:00: minutes 0, January 1st, year byte 0.
    EXPECT_EQ(Bytes(later.begin() + 3, later.end()), (Bytes{0, 0, 1, 1, 0}));
    ASSERT_TRUE(unit.SetClock({2024, 2, 28, 23, 59, 0}, 0));
    const auto leap = unit.ClockAt(60'000);
    ASSERT_TRUE(leap.has_value());
    EXPECT_EQ(leap->month, 2);
    EXPECT_EQ(leap->day, 29);
}

TEST(DeviceState, ClockRefusesDatesThatDoNotExist)
{
    CDeviceState unit(0);
    EXPECT_FALSE(unit.SetClock({2023, 2, 29, 0, 0, 0}, 0));
    EXPECT_FALSE(unit.SetClock({2024, 13, 1, 0, 0, 0}, 0));
    EXPECT_FALSE(unit.SetClock({2024, 4, 31, 0, 0, 0}, 0));
    EXPECT_FALSE(unit.SetClock({2024, 1, 1, 24, 0, 0}, 0));
    EXPECT_FALSE(unit.SetClock({2024, 1, 1, 0, 60, 0}, 0));
    EXPECT_TRUE(unit.SetClock({2000, 2, 29, 0, 0, 0}, 0));
}

TEST(DeviceState, RawClockSendsItsBytesUnchanged)
{
    CDeviceState unit(0);
    unit.SetFirmware(9, 8, 7);
    unit.SetRawClock(1500, 0, 32, 99);   // out of range on purpose
    EXPECT_EQ(unit.DateTimePayload(123'456), (Bytes{9, 8, 7, 0x05, 0xDC, 0, 32, 99}));
    EXPECT_FALSE(unit.ClockAt(0).has_value());
}

TEST(DeviceState, GpsCarriesTwentyBytesPaddedWithFF)
{
    CDeviceState unit(0);
    ASSERT_TRUE(unit.SetIccid("8944500102198304826"));
    Bytes expected{'8', '9', '4', '4', '5', '0', '0', '1', '0', '2', '1', '9', '8', '3', '0', '4', '8', '2', '6', 0xFF};
    EXPECT_EQ(unit.GpsPayload(), expected);
    ASSERT_TRUE(unit.SetIccid("89445001021983048261"));
    EXPECT_EQ(unit.GpsPayload().back(), '1');
    ASSERT_TRUE(unit.SetIccid(""));
    EXPECT_EQ(unit.GpsPayload(), Bytes(20, 0xFF));
    EXPECT_FALSE(unit.SetIccid("894450010219830482612"));   // 21 digits
    EXPECT_FALSE(unit.SetIccid("89445A"));
    EXPECT_EQ(unit.GetIccid(), "");
}

struct SingleByteCase
{
    std::uint8_t code;
    void (CDeviceState::*set)(std::uint8_t);
};

class SingleByteAnswer : public ::testing::TestWithParam<SingleByteCase>
{
};

TEST_P(SingleByteAnswer, EchoesTheCodeWithTheValueSet)
{
    CDeviceState unit(0);
    for (std::uint8_t value : {0, 1, 19, 99, 255})
    {
        (unit.*GetParam().set)(value);
        const std::uint8_t code = GetParam().code;
        EXPECT_EQ(Encoded(unit, code), (Bytes{0x02, code, 0x01, value, static_cast<std::uint8_t>(code ^ 1 ^ value), 0x03}))
            << "code " << int{code} << " value " << int{value};
    }
}

INSTANTIATE_TEST_SUITE_P(StatusCodes, SingleByteAnswer,
                         ::testing::Values(SingleByteCase{8, &CDeviceState::SetGsm},
                                           SingleByteCase{10, &CDeviceState::SetRssi},
                                           SingleByteCase{12, &CDeviceState::SetDoor},
                                           SingleByteCase{15, &CDeviceState::SetRadio},
                                           SingleByteCase{14, &CDeviceState::SetPower},
                                           SingleByteCase{128, &CDeviceState::SetPower}));

class RefusedFrame : public ::testing::TestWithParam<std::pair<std::uint8_t, Bytes>>
{
};

TEST_P(RefusedFrame, IsAnsweredWithASingleNak)
{
    CDeviceState unit(0);
    const Reply reply = unit.Handle(GetParam().first, GetParam().second, 0);
    EXPECT_EQ(reply.Encode(), Bytes{0x15});
    EXPECT_FALSE(reply.startUpgrade);
    EXPECT_EQ(unit.RelayStatusPayload(), Bytes(4, 0));   // nothing switched
}

INSTANTIATE_TEST_SUITE_P(
    UnknownCodesAndWrongPayloads, RefusedFrame,
    ::testing::Values(std::pair<std::uint8_t, Bytes>{0, {}}, std::pair<std::uint8_t, Bytes>{16, {}},
                      std::pair<std::uint8_t, Bytes>{84, {}}, std::pair<std::uint8_t, Bytes>{127, {}},
                      std::pair<std::uint8_t, Bytes>{255, {}}, std::pair<std::uint8_t, Bytes>{1, {0}},
                      std::pair<std::uint8_t, Bytes>{9, {1}}, std::pair<std::uint8_t, Bytes>{9, {0, 1}},
                      std::pair<std::uint8_t, Bytes>{9, {5, 1}}, std::pair<std::uint8_t, Bytes>{9, {1, 2}},
                      std::pair<std::uint8_t, Bytes>{5, {0}}, std::pair<std::uint8_t, Bytes>{5, {}},
                      std::pair<std::uint8_t, Bytes>{11, {0x55}}, std::pair<std::uint8_t, Bytes>{2, {2}},
                      std::pair<std::uint8_t, Bytes>{13, {}}, std::pair<std::uint8_t, Bytes>{85, {1}}));

TEST(DeviceState, RelayToggleSwitchesAndEchoesRelayAndState)
{
    CDeviceState unit(0);
    EXPECT_EQ(Encoded(unit, 9, {3, 1}), (Bytes{0x02, 0x09, 0x02, 0x03, 0x01, 0x09, 0x03}));
    EXPECT_EQ(unit.RelayStatusPayload(), (Bytes{0, 0, 1, 0}));
    Encoded(unit, 9, {3, 0});
    EXPECT_EQ(unit.GetRelay(3), 0);
}

TEST(DeviceState, PowerCycleTurnsTheRelayOffThenRestoresIt)
{
    CDeviceState unit(0, 5000);
    unit.SetRelay(4, CDeviceState::kRelayOff);
    EXPECT_EQ(Encoded(unit, 5, {2}, 1000), (Bytes{0x02, 0x05, 0x01, 0x02, 0x06, 0x03}));
    EXPECT_EQ(unit.GetRelay(2), CDeviceState::kRelayOff);
    EXPECT_EQ(unit.Tick(5999), std::optional<std::uint64_t>(6000));
    EXPECT_EQ(unit.GetRelay(2), CDeviceState::kRelayOff);
    EXPECT_EQ(unit.Tick(6000), std::nullopt);
    EXPECT_EQ(unit.GetRelay(2), CDeviceState::kRelayOn);
    // A relay that was off before its cycle is off again after it.
    Encoded(unit, 5, {4}, 7000);
    unit.Tick(20000);
    EXPECT_EQ(unit.GetRelay(4), CDeviceState::kRelayOff);
}

TEST(DeviceState, SwitchingARelayDuringItsCycleEndsTheCycle)
{
    CDeviceState unit(0, 5000);
    Encoded(unit, 5, {1}, 0);
    Encoded(unit, 9, {1, 1}, 100);
    unit.Tick(10000);
    EXPECT_EQ(unit.GetRelay(1), CDeviceState::kRelayOff);
}

TEST(DeviceState, UnsolicitedSwitchesAnswerWithAByteTheHostIgnores)
{
    CDeviceState unit(0);
    EXPECT_EQ(Encoded(unit, 2, {1}), (Bytes{0x02, 0x02, 0x02, 0xFF, 0x01, 0xFE, 0x03}));
    EXPECT_EQ(Encoded(unit, 13, {1}), (Bytes{0x02, 0x0D, 0x02, 0xFF, 0x01, 0xF1, 0x03}));
    EXPECT_TRUE(unit.UnsolicitedRelayEnabled());
    EXPECT_TRUE(unit.UnsolicitedDoorEnabled());
    EXPECT_EQ(Encoded(unit, 3), (Bytes{0x02, 0x03, 0x02, 0x01, 0x01, 0x01, 0x03}));
    Encoded(unit, 13, {0});
    EXPECT_FALSE(unit.UnsolicitedDoorEnabled());
    EXPECT_TRUE(unit.UnsolicitedRelayEnabled());
}

TEST(DeviceState, ResetRestartsUptimeAndSwitchesUnsolicitedMessagesOff)
{
    CDeviceState unit(0, 5000);
    unit.SetUptime(5000, 0);
    Encoded(unit, 2, {1});
    Encoded(unit, 13, {1});
    Encoded(unit, 5, {1}, 0);
    EXPECT_EQ(Encoded(unit, 11, {0xAA}, 2000), (Bytes{0x02, 0x0B, 0x00, 0x0B, 0x03}));
    EXPECT_EQ(unit.UptimeAt(2000), 0u);
    EXPECT_EQ(unit.UptimeAt(5000), 3u);
    EXPECT_FALSE(unit.UnsolicitedRelayEnabled());
    EXPECT_FALSE(unit.UnsolicitedDoorEnabled());
    EXPECT_EQ(unit.GetRelay(1), CDeviceState::kRelayOn);   // the running cycle ended with the restart
    EXPECT_EQ(unit.ResetCount(), 1);
}

TEST(DeviceState, UpgradeRequestAnswersThenHandsTheLineToTheReceiver)
{
    CDeviceState unit(0);
    Reply reply = unit.Handle(0x55, {}, 0);
    EXPECT_EQ(reply.Encode(), (Bytes{0x02, 0x55, 0x00, 0x55, 0x03}));
    EXPECT_TRUE(reply.startUpgrade);
    unit.SetUpgradeAnswer(CDeviceState::UpgradeAnswer::Ack);
    reply = unit.Handle(0x55, {}, 0);
    EXPECT_EQ(reply.Encode(), Bytes{0x06});
    EXPECT_TRUE(reply.startUpgrade);
}
}  // namespace
