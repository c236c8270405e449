#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "device/QuillmereDeviceStatus.h"
#include "StatusRecorder.h"

TEST(DeviceStatus, StartsWithEveryFieldNotAvailableExceptRadioTypeZero)
{
    CQuillmereDeviceStatus status;
    EXPECT_EQ(status.GetRuntimeClassName(), "CQuillmereDeviceStatus");
    EXPECT_TRUE(status.GetRelays().empty());
    EXPECT_EQ(status.GetUptime(), 0);
    EXPECT_EQ(status.GetDateTime(), 0);
    EXPECT_EQ(status.GetFirmwareMajor(), 0);
    EXPECT_EQ(status.GetFirmwareMinor(), 0);
    EXPECT_EQ(status.GetFirmwareBuild(), 0);
    EXPECT_EQ(status.GetIccid(), "");
    EXPECT_FALSE(status.GetGsmActive());
    EXPECT_EQ(status.GetRssi(), -2000);
    EXPECT_FALSE(status.GetDoorOpen());
    EXPECT_EQ(status.GetRadioType(), 0);
}

struct SetterCase
{
    const char* name;
    std::function<void(CQuillmereDeviceStatus&)> set;
    std::function<bool(const CQuillmereDeviceStatus&)> stored;
};

class DeviceStatusSetter : public testing::TestWithParam<SetterCase> {};

// Observers redraw on every record, so a setter must notify even when nothing changed.
TEST_P(DeviceStatusSetter, StoresAndRaisesOneRecordEachTimeEvenForTheSameValue)
{
    CQuillmereDeviceStatus status;
    StatusRecorder recorder(status);
    GetParam().set(status);
    EXPECT_TRUE(GetParam().stored(status));
    EXPECT_EQ(recorder.statusRecords, 1);
    GetParam().set(status);
    EXPECT_EQ(recorder.statusRecords, 2);
    EXPECT_EQ(recorder.notifications, 2);
}

INSTANTIATE_TEST_SUITE_P(
    EverySetter, DeviceStatusSetter,
    testing::Values(
        SetterCase{"Uptime", [](auto& s) { s.SetUptime(86400); }, [](auto& s) { return s.GetUptime() == 86400; }},
        SetterCase{"DateTime", [](auto& s) { s.SetDateTime(1735646400); },
                   [](auto& s) { return s.GetDateTime() == 1735646400; }},
        SetterCase{"Firmware", [](auto& s) { s.SetFirmware(1, 2, 3); },
                   [](auto& s) {
                       const auto fw = s.GetFirmware();
                       return fw.major == 1 && fw.minor == 2 && fw.build == 3;
                   }},
        SetterCase{"Iccid", [](auto& s) { s.SetIccid("8944500102198304826"); },
                   [](auto& s) { return s.GetIccid() == "8944500102198304826"; }},
        SetterCase{"GsmActive", [](auto& s) { s.SetGsmActive(true); }, [](auto& s) { return s.GetGsmActive(); }},
        SetterCase{"Rssi", [](auto& s) { s.SetRssi(-53); }, [](auto& s) { return s.GetRssi() == -53; }},
        SetterCase{"DoorOpen", [](auto& s) { s.SetDoorOpen(true); }, [](auto& s) { return s.GetDoorOpen(); }},
        SetterCase{"RadioType", [](auto& s) { s.SetRadioType(1); }, [](auto& s) { return s.GetRadioType() == 1; }},
        SetterCase{"ClearRelays", [](auto& s) { s.ClearRelays(); }, [](auto& s) { return s.GetRelays().empty(); }},
        SetterCase{"AddRelay", [](auto& s) { s.AddRelay(CRelayStatus(2, 1)); },
                   [](auto& s) { return s.FindRelay(2).has_value(); }}),
    [](const testing::TestParamInfo<SetterCase>& info) { return info.param.name; });

TEST(DeviceStatus, RelaysAreHandedOutAsCopiesThatOutliveAClear)
{
    CQuillmereDeviceStatus status;
    status.AddRelay(CRelayStatus(1, 0));
    status.AddRelay(CRelayStatus(2, 1));

    auto relays = status.GetRelays();
    const auto found = status.FindRelay(2);
    relays[0].SetState(1);
    status.ClearRelays();

    ASSERT_EQ(relays.size(), 2u);
    EXPECT_EQ(relays[1].GetIndex(), 2);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->GetState(), 1);
    EXPECT_TRUE(status.GetRelays().empty());
    EXPECT_FALSE(status.FindRelay(2).has_value());
}

TEST(DeviceStatus, FindRelayReturnsTheFirstRecordWithThatIndex)
{
    CQuillmereDeviceStatus status;
    status.AddRelay(CRelayStatus(3, 1));
    status.AddRelay(CRelayStatus(3, 0));
    ASSERT_TRUE(status.FindRelay(3).has_value());
    EXPECT_EQ(status.FindRelay(3)->GetState(), 1);
    EXPECT_FALSE(status.FindRelay(4).has_value());
    EXPECT_FALSE(status.FindRelay(0).has_value());
}

// The link worker refills the relays and the version while a page reads them. Under
// ThreadSanitizer this is the race check; in every build the reader must never see a
// half-built record list or a version mixed from two writes.
TEST(DeviceStatus, ReaderOnAnotherThreadSeesOnlyConsistentSnapshots)
{
    CQuillmereDeviceStatus status;
    std::atomic<bool> writerDone{false};
    constexpr int kRounds = 2000;

    std::thread writer([&] {
        for (int round = 0; round < kRounds; ++round)
        {
            status.ClearRelays();
            for (int n = 1; n <= 4; ++n)
                status.AddRelay(CRelayStatus(n, round % 2));
            status.SetFirmware(round, round, round);
            status.SetIccid(std::string(static_cast<std::size_t>(round % 20), '7'));
            status.SetRssi(-113 + round % 63);
            status.SetDateTime(round);
            status.SetDoorOpen(round % 2 == 0);
        }
        writerDone.store(true);
    });

    int badLists = 0, mixedVersions = 0, badIccids = 0;
    for (int reads = 0; reads < kRounds * 4 && !writerDone.load(); ++reads)
    {
        const auto relays = status.GetRelays();
        if (relays.size() > 4)
            ++badLists;
        for (std::size_t i = 0; i < relays.size(); ++i)
            if (relays[i].GetIndex() != static_cast<int>(i) + 1)
                ++badLists;
        if (const auto relay = status.FindRelay(4); relay && relay->GetIndex() != 4)
            ++badLists;
        const auto fw = status.GetFirmware();
        if (fw.major != fw.minor || fw.minor != fw.build)
            ++mixedVersions;
        if (status.GetIccid().find_first_not_of('7') != std::string::npos)
            ++badIccids;
        (void)status.GetRssi();
        (void)status.GetDateTime();
        (void)status.GetDoorOpen();
    }
    writer.join();

    EXPECT_EQ(badLists, 0);
    EXPECT_EQ(mixedVersions, 0);
    EXPECT_EQ(badIccids, 0);
    EXPECT_EQ(status.GetRelays().size(), 4u);
    EXPECT_EQ(status.GetFirmwareMajor(), kRounds - 1);
}
