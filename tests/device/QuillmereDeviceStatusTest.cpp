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
        SetterCase{"RadioType", [](auto& s) { s.SetRadioType(1); }, [](auto& s) { return s.GetRadioType() == 1; }}),
    [](const testing::TestParamInfo<SetterCase>& info) { return info.param.name; });

// The link worker rewrites the version and the ICCID while a page reads them. Under
// ThreadSanitizer this is the race check; in every build the reader must never see a
// version mixed from two writes or a half-written ICCID.
TEST(DeviceStatus, ReaderOnAnotherThreadSeesOnlyConsistentSnapshots)
{
    CQuillmereDeviceStatus status;
    std::atomic<bool> writerDone{false};
    constexpr int kRounds = 2000;

    std::thread writer([&] {
        for (int round = 0; round < kRounds; ++round)
        {
            status.SetFirmware(round, round, round);
            status.SetIccid(std::string(static_cast<std::size_t>(round % 20), '7'));
            status.SetRssi(-113 + round % 63);
            status.SetDateTime(round);
            status.SetDoorOpen(round % 2 == 0);
        }
        writerDone.store(true);
    });

    int mixedVersions = 0, badIccids = 0;
    for (int reads = 0; reads < kRounds * 4 && !writerDone.load(); ++reads)
    {
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

    EXPECT_EQ(mixedVersions, 0);
    EXPECT_EQ(badIccids, 0);
    EXPECT_EQ(status.GetFirmwareMajor(), kRounds - 1);
}
