#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "RecordingObserver.h"
#include "config/AppSettings.h"

namespace
{
struct ExpectedRelay
{
    int index;
    const char* name;
    RelayPermission permission;
};

struct ExpectedMonitor
{
    const char* eventName;
    std::string target;
    int pollInterval, relayIndex, threshold;
    MonitorAction action;
    int cycleEvery, autoResetLimit;
};

int FailingPing(const std::string&)
{
    return -3;
}

// The manager's place: an observer attached to the settings object.
class SettingsModel : public ::testing::Test
{
protected:
    void SetUp() override { settings.Attach(&manager); }
    void TearDown() override { settings.Detach(&manager); }

    CAppSettings settings;
    RecordingObserver manager;
};
}

TEST(SettingsDefaults, ScalarFieldsHoldTheirDefaults)
{
    const CAppSettings settings;
    EXPECT_EQ(settings.GetComPort(), 5);
    EXPECT_EQ(settings.GetBaudRate(), 115200);
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 30);
    EXPECT_EQ(settings.GetLogLevel(), LogLevelEventsAndErrors);
    EXPECT_EQ(settings.GetMaxMemorySizeInBytes(), 26214400);
    EXPECT_TRUE(settings.IsMemoryCheckEnabled());
    EXPECT_FALSE(settings.IsSuppressingNotifications());
}

TEST(SettingsDefaults, FourRelaysInTableOrder)
{
    const CAppSettings settings;
    const ExpectedRelay expected[] = {
        {1, "ISP Equipment", RelayPermissionCycle},
        {2, "Player", RelayPermissionCycle},
        {3, "Digital Display", RelayPermissionOnOff},
        {4, "Aux. Power Control", RelayPermissionOnOff},
    };
    const auto relays = settings.GetRelaySettings();
    ASSERT_EQ(relays.size(), std::size(expected));
    for (std::size_t i = 0; i < relays.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(relays[i]->GetIndex(), expected[i].index);
        EXPECT_EQ(relays[i]->GetName(), expected[i].name);
        EXPECT_EQ(relays[i]->GetPermission(), expected[i].permission);
        EXPECT_FALSE(relays[i]->IsSuppressingNotifications());
        // Observed by the settings object exactly once, and by nothing else.
        EXPECT_EQ(relays[i]->GetObserverCount(), 1u);
    }
}

TEST(SettingsDefaults, FourMonitorsInTableOrder)
{
    const CAppSettings settings;
    ASSERT_NE(CNetworkMonitor::DefaultTarget, nullptr);
    ASSERT_STRNE(CNetworkMonitor::DefaultTarget, "");
    const ExpectedMonitor expected[] = {
        {"ISP Equipment", CNetworkMonitor::DefaultTarget, 15, 1, 4, MonitorActionCyclePower, 1, 8},
        {"Player", "192.168.0.111", 5, 2, 4, MonitorActionCyclePower, 1, 3},
        {"VIP", "192.168.0.112", 5, 2, 4, MonitorActionCyclePower, 1, 3},
        {"Web cam", "192.168.0.249", 5, 1, 4, MonitorActionCyclePower, 1, 3},
    };
    const auto& monitors = settings.GetNetworkMonitors();
    ASSERT_EQ(monitors.size(), std::size(expected));
    for (std::size_t i = 0; i < monitors.size(); ++i)
    {
        SCOPED_TRACE(i);
        const CNetworkMonitor& m = *monitors[i];
        EXPECT_EQ(m.GetEventName(), expected[i].eventName);
        EXPECT_EQ(m.GetTarget(), expected[i].target);
        EXPECT_EQ(m.GetPollIntervalInMinutes(), expected[i].pollInterval);
        EXPECT_EQ(m.GetRelayIndex(), expected[i].relayIndex);
        EXPECT_EQ(m.GetThreshold(), expected[i].threshold);
        EXPECT_EQ(m.GetAction(), expected[i].action);
        EXPECT_EQ(m.GetCycleEveryErrorCount(), expected[i].cycleEvery);
        EXPECT_EQ(m.GetAutoResetLimit(), expected[i].autoResetLimit);
        EXPECT_EQ(m.GetCurrentResetCount(), 0);
        EXPECT_EQ(m.GetFailureCount(), 0);
        EXPECT_EQ(m.GetObserverCount(), 1u);
        // Each monitor is held only by the list.
        EXPECT_EQ(monitors[i].use_count(), 1);
    }
}

TEST(SettingsDefaults, FindRelaySettingByDeviceIndex)
{
    const CAppSettings settings;
    ASSERT_NE(settings.FindRelaySetting(3), nullptr);
    EXPECT_EQ(settings.FindRelaySetting(3)->GetName(), "Digital Display");
    EXPECT_EQ(settings.FindRelaySetting(0), nullptr);
    EXPECT_EQ(settings.FindRelaySetting(5), nullptr);
    EXPECT_EQ(settings.FindRelaySetting(-1), nullptr);
}

TEST(SettingsDefaults, FindRelaySettingTakesTheFirstOfEqualIndexes)
{
    CAppSettings settings;
    ASSERT_TRUE(settings.LoadFromText("<Settings><Relays>"
                                      "<Relay><Index>2</Index><Name>first</Name></Relay>"
                                      "<Relay><Index>2</Index><Name>second</Name></Relay>"
                                      "</Relays></Settings>"));
    ASSERT_NE(settings.FindRelaySetting(2), nullptr);
    EXPECT_EQ(settings.FindRelaySetting(2)->GetName(), "first");
}

TEST_F(SettingsModel, OwnSettersStoreAndRaiseOneSettingsRecordEach)
{
    settings.SetComPort(9);
    settings.SetStatusPollIntervalInMinutes(1);
    settings.SetLogLevel(LogLevelDebug);
    EXPECT_EQ(settings.GetComPort(), 9);
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 1);
    EXPECT_EQ(settings.GetLogLevel(), LogLevelDebug);
    EXPECT_EQ(manager.Total(), 3u);
    EXPECT_EQ(manager.Count<CSettingsChangedEventArgs>(), 3u);
}

TEST_F(SettingsModel, SettersNeitherCompareNorCheckRanges)
{
    settings.SetComPort(5);   // the value it already has
    settings.SetComPort(-40);
    settings.SetStatusPollIntervalInMinutes(0);
    EXPECT_EQ(settings.GetComPort(), -40);
    EXPECT_EQ(settings.GetStatusPollIntervalInMinutes(), 0);
    EXPECT_EQ(manager.Count<CSettingsChangedEventArgs>(), 3u);
}

TEST_F(SettingsModel, RelaySetterRecordReachesTheManagerUnchanged)
{
    CRelaySetting* relay = settings.FindRelaySetting(2);
    ASSERT_NE(relay, nullptr);
    // Attached after the settings object, so it sees the record after the manager did.
    RecordingObserver direct;
    relay->Attach(&direct);
    relay->SetName("Signage");
    relay->Detach(&direct);

    EXPECT_EQ(relay->GetName(), "Signage");
    ASSERT_EQ(manager.Total(), 1u);
    ASSERT_EQ(direct.Total(), 1u);
    EXPECT_EQ(manager.Count<CRelaySettingChangedEventArgs>(), 1u);
    EXPECT_EQ(manager.Records()[0].args, direct.Records()[0].args);
}

TEST_F(SettingsModel, EveryRelaySetterNotifiesUnlessTheRelayIsSuppressed)
{
    CRelaySetting* relay = settings.FindRelaySetting(1);
    relay->SetIndex(7);
    relay->SetPermission(RelayPermissionBoth);
    relay->SetName("x");
    EXPECT_EQ(manager.Count<CRelaySettingChangedEventArgs>(), 3u);

    manager.Clear();
    relay->SetSuppressNotifications(true);
    relay->SetName("quiet");
    relay->SetPermission(RelayPermissionCycle);
    relay->SetSuppressNotifications(false);
    EXPECT_EQ(relay->GetName(), "quiet");
    EXPECT_EQ(relay->GetPermission(), RelayPermissionCycle);
    EXPECT_EQ(manager.Total(), 0u);
}

TEST_F(SettingsModel, MonitorSetterRecordReachesTheManagerUnchanged)
{
    CNetworkMonitor* monitor = settings.GetNetworkMonitors()[1].get();
    RecordingObserver direct;
    monitor->Attach(&direct);
    monitor->SetThreshold(monitor->GetThreshold());
    monitor->Detach(&direct);

    ASSERT_EQ(manager.Total(), 1u);
    EXPECT_EQ(manager.Count<CNetworkMonitorChangeEventArgs>(), 1u);
    EXPECT_EQ(manager.Records()[0].args, direct.Records()[0].args);
}

TEST_F(SettingsModel, SuppressedSettingsStillForwardTheirChildrensRecords)
{
    settings.SetSuppressNotifications(true);
    settings.SetComPort(3);
    CNetworkMonitor* added = settings.AddNetworkMonitor();
    settings.RemoveNetworkMonitor(settings.GetNetworkMonitors()[0].get());
    EXPECT_EQ(settings.GetComPort(), 3);
    EXPECT_EQ(settings.GetNetworkMonitors().size(), 4u);
    EXPECT_EQ(settings.GetNetworkMonitors().back().get(), added);
    EXPECT_EQ(manager.Total(), 0u);

    // Each object has its own flag.
    added->SetTarget("127.0.0.1");
    settings.FindRelaySetting(1)->SetName("n");
    EXPECT_EQ(manager.Count<CNetworkMonitorChangeEventArgs>(), 1u);
    EXPECT_EQ(manager.Count<CRelaySettingChangedEventArgs>(), 1u);
    settings.SetSuppressNotifications(false);

    manager.Clear();
    settings.SetComPort(4);
    EXPECT_EQ(manager.Count<CSettingsChangedEventArgs>(), 1u);
}

TEST_F(SettingsModel, UpdatePassesOnAnyRecordAndNull)
{
    CWriteLogEventArgs unrelated("line\n");
    settings.Update(&unrelated);
    settings.Update(nullptr);
    // Even with its flag set: suppression covers only the object's own changes.
    settings.SetSuppressNotifications(true);
    CNetworkMonitorErrorEventArgs failure(2, 1, "127.0.0.1", 3, 1);
    settings.Update(&failure);

    const auto records = manager.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].args, &unrelated);
    EXPECT_EQ(records[1].args, nullptr);
    EXPECT_EQ(records[2].args, &failure);
}

TEST_F(SettingsModel, MonitorFailureIsForwardedOnThePingThread)
{
    std::shared_ptr<CNetworkMonitor> monitor = settings.GetNetworkMonitors()[3];
    monitor->SetSuppressNotifications(true);
    monitor->SetThreshold(1);
    monitor->SetPingFunction(&FailingPing);
    monitor->SetSuppressNotifications(false);

    std::thread::id pingThread;
    std::thread worker([&] {
        pingThread = std::this_thread::get_id();
        monitor->Run();
    });
    worker.join();

    const auto records = manager.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, std::type_index(typeid(CNetworkMonitorErrorEventArgs)));
    EXPECT_EQ(records[0].thread, pingThread);
}

TEST_F(SettingsModel, AddedMonitorHasNewMonitorValuesAndIsObserved)
{
    CNetworkMonitor* added = settings.AddNetworkMonitor();
    ASSERT_NE(added, nullptr);
    ASSERT_EQ(settings.GetNetworkMonitors().size(), 5u);
    EXPECT_EQ(settings.GetNetworkMonitors()[4].get(), added);
    EXPECT_EQ(added->GetEventName(), "ISP Reboot");
    EXPECT_EQ(added->GetTarget(), CNetworkMonitor::DefaultTarget);
    EXPECT_EQ(added->GetPollIntervalInMinutes(), 30);
    EXPECT_EQ(added->GetRelayIndex(), 1);
    EXPECT_EQ(added->GetThreshold(), 3);
    EXPECT_EQ(added->GetAction(), MonitorActionCyclePower);
    EXPECT_EQ(added->GetCycleEveryErrorCount(), 1);
    EXPECT_EQ(added->GetAutoResetLimit(), 1);
    EXPECT_EQ(added->GetCurrentResetCount(), 0);
    EXPECT_EQ(manager.Count<CSettingsChangedEventArgs>(), 1u);

    added->SetEventName("Router");
    EXPECT_EQ(manager.Count<CNetworkMonitorChangeEventArgs>(), 1u);
}

TEST_F(SettingsModel, RemovedMonitorLeavesTheListAndIsNoLongerHeard)
{
    std::shared_ptr<CNetworkMonitor> kept = settings.GetNetworkMonitors()[2];   // a ping under way
    settings.RemoveNetworkMonitor(kept.get());

    ASSERT_EQ(settings.GetNetworkMonitors().size(), 3u);
    for (const auto& m : settings.GetNetworkMonitors())
        EXPECT_NE(m.get(), kept.get());
    EXPECT_EQ(manager.Count<CSettingsChangedEventArgs>(), 1u);
    // Only the ping's reference is left; the settings object no longer listens.
    EXPECT_EQ(kept.use_count(), 1);
    EXPECT_EQ(kept->GetObserverCount(), 0u);
    kept->SetTarget("127.0.0.2");
    EXPECT_EQ(manager.Total(), 1u);
}

TEST_F(SettingsModel, RemovingNullOrAForeignMonitorDoesNothing)
{
    settings.RemoveNetworkMonitor(nullptr);
    CNetworkMonitor foreign;
    foreign.Attach(&manager);
    settings.RemoveNetworkMonitor(&foreign);
    EXPECT_EQ(settings.GetNetworkMonitors().size(), 4u);
    EXPECT_EQ(manager.Total(), 0u);
    EXPECT_EQ(foreign.GetObserverCount(), 1u);
    foreign.Detach(&manager);
}

TEST(SettingsLifetime, MonitorOutlivingTheSettingsIsDetached)
{
    std::shared_ptr<CNetworkMonitor> kept;
    {
        CAppSettings settings;
        kept = settings.GetNetworkMonitors()[0];
    }
    EXPECT_EQ(kept->GetObserverCount(), 0u);
    // Would reach a destroyed object if the settings were still attached.
    kept->SetEventName("after");
    kept->RaiseError();
}

TEST(SettingsLifetime, LoadDetachesTheMonitorsItReplaces)
{
    CAppSettings settings;
    std::shared_ptr<CNetworkMonitor> kept = settings.GetNetworkMonitors()[0];
    ASSERT_TRUE(settings.LoadFromText("<Settings><NetworkMonitors><NetworkMonitor/></NetworkMonitors></Settings>"));
    EXPECT_EQ(settings.GetNetworkMonitors().size(), 1u);
    EXPECT_EQ(kept->GetObserverCount(), 0u);
    EXPECT_EQ(settings.GetNetworkMonitors()[0]->GetObserverCount(), 1u);
}
