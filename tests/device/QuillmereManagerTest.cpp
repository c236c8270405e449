#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>

#include "config/AppSettings.h"
#include "core/Clock.h"
#include "core/EventArgs.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "device/QuillmereDeviceStatus.h"
#include "protocol/SerialCommand.h"
#include "protocol/StatusCodes.h"
#include "netmon/NetworkMonitor.h"
#include "ManagerFixture.h"

namespace
{
class ResponseRecorder : public CObserver
{
public:
    void Update(CEventArgs* args) override
    {
        if (auto* response = dynamic_cast<CCommandResponse*>(args))
            responses.push_back(response->Clone());
        else if (auto* error = dynamic_cast<CNetworkMonitorErrorEventArgs*>(args))
            monitorErrors.push_back(error->Target);
        else if (auto* progress = dynamic_cast<CProgressChangedEventArgs*>(args))
            progress_.push_back({progress->Position, progress->Total});
        else if (dynamic_cast<CNetworkThreadCompletedEventArgs*>(args) != nullptr)
            ++threadEnds;
        else if (auto* reach = dynamic_cast<CUnitReachabilityChangedEventArgs*>(args))
            reachability.push_back(reach->Reachable);
        else if (auto* relay = dynamic_cast<CRelayStateChangedEventArgs*>(args))
            relays.push_back(*relay);
    }
    std::vector<CRelayStateChangedEventArgs> relays;
    std::vector<std::unique_ptr<CCommandResponse>> responses;
    std::vector<std::string> monitorErrors;
    std::vector<std::pair<int, int>> progress_;
    int threadEnds = 0;
    std::vector<bool> reachability;
};

CSerialCommand Command(std::uint8_t code, std::uint8_t param1 = 0)
{
    CSerialCommand command;
    command.Code = code;
    command.Param1 = param1;
    return command;
}
}

TEST(QuillmereManager, TimerPeriodsAreTheSettingsMinutesInMilliseconds)
{
    ManagerFixture f;
    f.manager.StartPolling();
    ASSERT_NE(f.manager.GetPollTimer(), 0u);
    EXPECT_EQ(f.timers.PeriodOf(f.manager.GetPollTimer()), 1'800'000u);

    f.manager.StartMonitorTimers();
    EXPECT_EQ(f.manager.GetMonitorTimerCount(), 4u);
    // The defaults: one monitor every 15 minutes, three every 5.
    std::vector<std::uint32_t> periods;
    for (ITimerService::TimerId id = 1; id < 10; ++id)
        if (id != f.manager.GetPollTimer() && f.timers.PeriodOf(id) != 0)
            periods.push_back(f.timers.PeriodOf(id));
    EXPECT_EQ(periods, (std::vector<std::uint32_t>{900'000, 300'000, 300'000, 300'000}));

    f.manager.Stop();
    EXPECT_EQ(f.timers.ActiveCount(), 0u);
    EXPECT_EQ(f.manager.GetPollTimer(), 0u);
}

TEST(QuillmereManager, PollQueuesEightCommandsAtOnceAndRenewsThemAtEveryTick)
{
    ManagerFixture f;
    f.manager.StartPolling();
    EXPECT_EQ(f.link.GetQueueLength(), 8u);
    f.timers.Advance(1'800'000);
    EXPECT_EQ(f.link.GetQueueLength(), 8u) << "a poll not yet sent is replaced, not repeated";
    f.manager.KillPollTimer();
    f.timers.Advance(1'800'000);
    EXPECT_EQ(f.link.GetQueueLength(), 8u);
    EXPECT_TRUE(f.LogLines().empty()) << "a repeated question needs no word";
}

TEST(QuillmereManager, StartingPollingTwiceKeepsOneTimer)
{
    ManagerFixture f;
    f.manager.StartPolling();
    f.manager.StartPolling();
    EXPECT_EQ(f.timers.ActiveCount(), 1u);
}

TEST(QuillmereManager, FailedCommandWritesTheErrorLineResetsItsFieldAndIsStillRaised)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    CQuillmereDeviceStatus& status = *f.manager.GetDeviceStatus();
    status.SetRssi(-51);
    status.SetRadioType(1);

    CSerialCommand rssi = Command(CommandCode::Rssi);
    f.manager.OnResponse(LinkStatus::Timeout, CommandCode::Rssi, &rssi, nullptr);
    CSerialCommand radio = Command(CommandCode::RadioCapability);
    f.manager.OnResponse(LinkStatus::Timeout, CommandCode::RadioCapability, &radio, nullptr);
    // An order's line names it as its own Event line did.
    CSerialCommand toggle = Command(CommandCode::RelayToggle, 1);
    toggle.Name = "Relay 1 (Speaker) switch off";
    f.manager.OnResponse(LinkStatus::Timeout, CommandCode::RelayToggle, &toggle, nullptr);

    EXPECT_EQ(status.GetRssi(), -2000);
    EXPECT_EQ(status.GetRadioType(), -1);
    const auto lines = f.LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Error,Error for RSSI command no response from the device within the timeout period.");
    EXPECT_EQ(lines[1],
              "Error,Error for Radio capability command no response from the device within the timeout period.");
    EXPECT_EQ(lines[2], "Error,Error for Relay toggle command no response from the device within the timeout period. "
                        "Order: Relay 1 (Speaker) switch off");
    ASSERT_EQ(recorder.responses.size(), 3u);
    EXPECT_EQ(recorder.responses[0]->GetResult(), LinkStatus::Timeout);
    EXPECT_EQ(recorder.responses[0]->GetCommand()->Code, CommandCode::Rssi);
}

TEST(QuillmereManager, FailedRelayStatusKeepsTheRelaysAndTheClock)
{
    ManagerFixture f;
    const unsigned char relays[] = {0, 1, 0, 1};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, nullptr, relays);
    f.manager.GetDeviceStatus()->SetDateTime(1'700'000'000);
    CSerialCommand command = Command(CommandCode::RelayStatus);
    f.manager.OnResponse(LinkStatus::InvalidFrame, CommandCode::RelayStatus, &command, nullptr);
    EXPECT_EQ(f.manager.GetRelayStates().GetStates(), (std::array<std::int32_t, 4>{0, 1, 0, 1}));
    EXPECT_EQ(f.manager.GetDeviceStatus()->GetDateTime(), 1'700'000'000);
}

// The follow-up starts from the reset's outcome, holds the line, and ends only with a whole
// relay status answering a question sent after the reset.
TEST(QuillmereManager, AResetIsFollowedFromItsOutcomeUntilALaterQuestionIsAnswered)
{
    using std::chrono::milliseconds;
    ManagerFixture f;
    f.manager.SetClock(f.clock);
    f.manager.ResetDevice();
    EXPECT_EQ(f.link.GetQueueLength(), 1u);
    EXPECT_EQ(f.LogLines().at(0), "Event,Manual reset of the device was triggered.");
    EXPECT_FALSE(f.manager.OnLinkIdle(false)) << "nothing is asked before the reset went out";

    CSerialCommand reset = Command(CommandCode::Reset, CommandCode::ResetMagic);
    reset.SendNumber = 5;
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::Reset, &reset, nullptr, 0);
    EXPECT_TRUE(f.link.IsHeld()) << "nothing but the probe goes into the restart";
    f.clock.Advance(milliseconds(CQuillmereManager::kResetFollowUpMs - 1));
    EXPECT_EQ(f.manager.OnLinkIdle(false), milliseconds(1));
    EXPECT_EQ(f.link.GetQueueLength(), 1u);
    f.clock.Advance(milliseconds(1));
    EXPECT_EQ(f.manager.OnLinkIdle(false), milliseconds(CQuillmereManager::kResetFollowUpMs));
    EXPECT_EQ(f.link.GetQueueLength(), 2u) << "one relay status question";

    const unsigned char relays[] = {0, 0, 0, 0};
    CSerialCommand earlier = Command(CommandCode::RelayStatus);
    earlier.SendNumber = 4;
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, &earlier, relays, sizeof relays);
    EXPECT_TRUE(f.link.IsHeld()) << "an answer to a question sent before the reset";
    CSerialCommand later = Command(CommandCode::RelayStatus);
    later.SendNumber = 6;
    const unsigned char some[] = {0, 0};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, &later, some, sizeof some);
    EXPECT_TRUE(f.manager.IsResetPending()) << "asked before the reset, or not every relay";
    EXPECT_FALSE(f.link.IsHeld()) << "the unit answers: what waited may go";
    EXPECT_EQ(f.link.GetQueueLength(), 2u);

    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, &later, relays, sizeof relays);
    EXPECT_FALSE(f.manager.IsResetPending());
    EXPECT_FALSE(f.link.IsHeld());
    // 2 and 13 to switch the reports back on, and the whole status asked again.
    EXPECT_EQ(f.link.GetQueueLength(), 2u + 8u + 2u);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, &later, relays, sizeof relays);
    EXPECT_EQ(f.link.GetQueueLength(), 12u);
    EXPECT_FALSE(f.manager.OnLinkIdle(false));
}

// A unit that stops answering is asked 5 s later, then at doubling pauses up to a minute; a
// waiting order keeps the pause at 5 s; a reopened port asks at once.
TEST(UnitProbe, BacksOffToAMinuteAndComesBackSoonerWhenItMatters)
{
    using std::chrono::seconds;
    CUnitProbe probe;
    CUnitProbe::Clock::time_point now{};
    EXPECT_FALSE(probe.Idle(now, false).wait);
    probe.Lost(now);
    std::vector<long long> asked;
    for (int second = 0; second <= 300; ++second, now += seconds(1))
    {
        probe.Lost(now);   // every failed probe says so again: the schedule must not restart
        if (probe.Idle(now, false).askNow)
            asked.push_back(second);
    }
    EXPECT_EQ(asked, (std::vector<long long>{5, 15, 35, 75, 135, 195, 255}));
    const CUnitProbe::Next afterOne = probe.Idle(now + seconds(60), true);
    EXPECT_TRUE(afterOne.askNow);
    EXPECT_EQ(afterOne.wait, CUnitProbe::Clock::duration(seconds(5))) << "an order waits";
    probe.Reopened(now);
    EXPECT_TRUE(probe.Idle(now, false).askNow);
    probe.Answered();
    EXPECT_FALSE(probe.Idle(now + seconds(600), false).askNow);
}

TEST(QuillmereManager, UnsolicitedRelayAndDoorMessagesAreLoggedWithTheirTexts)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    const unsigned char buttonOn[] = {3, 0, 1};
    const unsigned char scheduleOff[] = {3, 1, 7};
    const unsigned char badRelay[] = {5, 0, 0};
    const unsigned char opened[] = {1};
    const unsigned char strange[] = {2};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::UnsolicitedResponses, nullptr, buttonOn);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::UnsolicitedResponses, nullptr, scheduleOff);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::UnsolicitedResponses, nullptr, badRelay);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::TamperUnsolicited, nullptr, opened);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::TamperUnsolicited, nullptr, strange);

    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"Event,Relay 3 state changed to active by button interface",
                                                      "Event,Relay 3 state changed to inactive by schedule",
                                                      "Event,Device cover was opened"}));
    EXPECT_TRUE(f.manager.GetDeviceStatus()->GetDoorOpen());
    // Every message is still raised, with its class chosen by its code.
    ASSERT_EQ(recorder.responses.size(), 5u);
    EXPECT_NE(dynamic_cast<CUnsolicitedResponse*>(recorder.responses[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<CTamperUnsolicitedResponse*>(recorder.responses[3].get()), nullptr);
}

TEST(QuillmereManager, MonitorFailureIsLoggedAndCyclesTheRelayOnlyWithinItsLimit)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    CNetworkMonitorErrorEventArgs within(1, MonitorActionCyclePower, "127.0.0.9", 3, 0);
    CNetworkMonitorErrorEventArgs atLimit(2, MonitorActionCyclePowerEvery, "127.0.0.9", 3, 3);
    CNetworkMonitorErrorEventArgs nothing(1, MonitorActionDoNothing, "host", 3, 0);
    f.settings.Notify(&within);   // the way a monitor's record arrives: forwarded by the settings
    f.settings.Notify(&atLimit);
    f.settings.Notify(&nothing);

    EXPECT_EQ(f.LogLines(),
              (std::vector<std::string>{"Error,Network monitor unable to communicate with 127.0.0.9 power cycle on Relay 1",
                                        "Error,Network monitor unable to communicate with 127.0.0.9 ",
                                        "Error,Network monitor unable to communicate with host "}));
    EXPECT_EQ(f.link.GetQueueLength(), 1u);   // one power cycle only
    EXPECT_EQ(recorder.monitorErrors.size(), 3u);
}

TEST(QuillmereManager, EverySettingsChangeWritesTheWholeDocumentAsOneEventLine)
{
    ManagerFixture f;
    f.settings.SetComPort(7);
    f.settings.GetRelaySettings().at(0)->SetName("Router & <modem>");
    f.settings.GetNetworkMonitors().at(1)->SetThreshold(5);
    f.settings.Notify();   // a null record counts as a change too

    const auto lines = f.LogLines();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines)
    {
        EXPECT_EQ(line.rfind("Event,<Settings><ComPort>7</ComPort>", 0), 0u) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    EXPECT_NE(lines[1].find("<Name>Router &amp; &lt;modem&gt;</Name>"), std::string::npos);
    EXPECT_NE(lines[2].find("<Threshold>5</Threshold>"), std::string::npos);
}

TEST(QuillmereManager, ProgressAndWorkerEndAreRaisedToObservers)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    f.manager.OnProgress(128, 256);
    f.manager.OnLinkThreadEnded();
    EXPECT_EQ(recorder.progress_, (std::vector<std::pair<int, int>>{{128, 256}}));
    EXPECT_EQ(recorder.threadEnds, 1);
}

TEST(QuillmereManager, TraceTextsAreWrittenAtTheDebugLevel)
{
    ManagerFixture f;
    f.manager.OnTrace("Purging transmit buffer");
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"Debug,Purging transmit buffer"}));
}

TEST(QuillmereManager, TestConnectionReportsAnOpenFailureForAMissingPort)
{
    ManagerFixture f;
    f.settings.SetComPort(96);   // /dev/ttyACM31: not on a test machine, and no ports/ link
    EXPECT_EQ(f.manager.TestConnection(), LinkStatus::OpenFailed);
}

TEST(QuillmereManager, OperatorCommandsAreLoggedWithTheRelayNameAndWhoGaveThem)
{
    ManagerFixture f;
    f.manager.SetRelayBy(2, 1, CQuillmereManager::kByOperator);
    f.manager.SetRelayBy(9, 0, "remote operator");
    f.manager.PowerCycleRelayBy(1, CQuillmereManager::kByOperator);
    f.manager.ResetDeviceBy(CQuillmereManager::kByOperator);
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"Event,Relay 2 (Player) switched off by operator",
                                                      "Event,Relay 9 switched on by remote operator",
                                                      "Event,Relay 1 (ISP Equipment) power cycle requested by operator",
                                                      "Event,Device reset requested by operator",
                                                      "Event,Manual reset of the device was triggered."}));
    EXPECT_EQ(f.link.GetQueueLength(), 4u);
}

// Only an outcome that says something about the unit moves the fact, and only a change is
// raised: a run of time-outs is one "gone", any answer (a NAK too) one "back".
TEST(QuillmereManager, ReachabilityChangesAtTheFirstFailedExchangeAndTheNextAnswer)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    CSerialCommand uptime = Command(CommandCode::Uptime);
    const unsigned char payload[4] = {0, 0, 0, 9};
    const struct
    {
        LinkStatus status;
        std::vector<bool> raisedSoFar;
    } steps[] = {
        {LinkStatus::NotSendable, {}},
        {LinkStatus::Timeout, {false}},
        {LinkStatus::OpenFailed, {false}},
        {LinkStatus::FirmwareFileNotOpened, {false}},
        {LinkStatus::NotAcknowledged, {false, true}},
        {LinkStatus::LineHungUp, {false, true, false}},
        {LinkStatus::Ok, {false, true, false, true}},
        {LinkStatus::Ok, {false, true, false, true}},
    };
    for (const auto& step : steps)
    {
        f.manager.OnResponse(step.status, CommandCode::Uptime, &uptime, payload, sizeof payload);
        EXPECT_EQ(recorder.reachability, step.raisedSoFar) << StatusNumber(step.status);
    }
    EXPECT_NE(f.manager.GetReachability().GetLastAnswerTime(), 0);
    f.manager.Detach(&recorder);
}

TEST(QuillmereManager, StopSaysOnceForEachOrderItDropsAndNothingForQuestions)
{
    ManagerFixture f;
    f.manager.Poll();
    f.manager.SetRelayBy(2, 1, "operator");
    f.manager.PowerCycleRelayBy(3, "operator");
    f.manager.ResetDeviceBy("operator");
    const std::size_t before = f.LogLines().size();
    f.manager.Stop();
    // The order on the wire when the stop came: the unit may have done it.
    CSerialCommand onTheWire = Command(CommandCode::RelayToggle, 1);
    onTheWire.Name = "Relay 1 (Speaker) switch on";
    onTheWire.SendNumber = 3;
    f.manager.OnResponse(LinkStatus::Stopped, CommandCode::RelayToggle, &onTheWire, nullptr, 0);
    const std::vector<std::string> lines = f.LogLines();
    const std::vector<std::string> added(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end());
    EXPECT_EQ(added, (std::vector<std::string>{
                         "Event,Relay 2 (Player) switch off not sent: the link was stopped",
                         "Event,Relay 3 (Digital Display) power cycle not sent: the link was stopped",
                         "Event,Device reset not sent: the link was stopped",
                         "Event,Relay 1 (Speaker) switch on may have been carried out: the link was stopped before "
                         "the unit answered",
                     }));
    EXPECT_EQ(f.link.GetQueueLength(), 0u);
}

// The unit's answer to the program's own request to switch relay or door messages on is an
// acknowledgement whatever it carries; the same bytes unasked are a report.
TEST(QuillmereManager, EnableAnswersAreAcknowledgementsAndOnlyUnaskedMessagesReport)
{
    const struct
    {
        std::uint8_t code;
        std::vector<unsigned char> payload;
    } answers[] = {
        {CommandCode::TamperUnsolicited, {1}},          // the parameter echoed
        {CommandCode::TamperUnsolicited, {1, 1}},
        {CommandCode::TamperUnsolicited, {0xFF, 1}},    // a marker byte, then the parameter
        {CommandCode::UnsolicitedResponses, {1, 1, 1}},  // relay 1 off "by button", as it would read
        {CommandCode::UnsolicitedResponses, {2, 0, 0}},
    };
    for (const auto& answer : answers)
    {
        ManagerFixture f;
        ResponseRecorder recorder;
        f.manager.Attach(&recorder);
        CSerialCommand enable = Command(answer.code, 1);
        f.manager.OnResponse(LinkStatus::Ok, answer.code, &enable, answer.payload.data(), answer.payload.size());
        EXPECT_FALSE(f.manager.GetDeviceStatus()->GetDoorOpen()) << int(answer.code);
        EXPECT_TRUE(recorder.relays.empty()) << int(answer.code);
        EXPECT_TRUE(f.LogLines().empty()) << int(answer.code);
        ASSERT_EQ(recorder.responses.size(), 1u);

        // Unasked, or arriving while another command waits, the same bytes are news.
        CSerialCommand other = Command(CommandCode::Uptime);
        f.manager.OnResponse(LinkStatus::Ok, answer.code, &other, answer.payload.data(), answer.payload.size());
        const bool news = answer.code == CommandCode::TamperUnsolicited ? answer.payload[0] == 1
                                                                         : answer.payload.size() == 3;
        EXPECT_EQ(f.LogLines().size(), news ? 1u : 0u) << int(answer.code);
        f.manager.Detach(&recorder);
    }
}

// A switch's answer is raised as a relay record naming who asked for it.
TEST(QuillmereManager, SwitchAnswersRaiseARelayRecordNamingWhoAsked)
{
    ManagerFixture f;
    ResponseRecorder recorder;
    f.manager.Attach(&recorder);
    const unsigned char allOn[] = {0, 0, 0, 0};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayStatus, nullptr, allOn, sizeof allOn);
    f.manager.SetRelayBy(2, 1, "remote operator over MQTT");
    f.manager.SetRelayBy(3, 1, CQuillmereManager::kByOperator);
    CSerialCommand two = Command(CommandCode::RelayToggle, 2);
    two.Param2 = 1;
    CSerialCommand three = Command(CommandCode::RelayToggle, 3);
    three.Param2 = 1;
    const unsigned char twoOff[] = {2, 1};
    const unsigned char threeOff[] = {3, 1};
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayToggle, &two, twoOff, sizeof twoOff);
    f.manager.OnResponse(LinkStatus::Timeout, CommandCode::RelayToggle, &three, nullptr, 0);
    f.manager.OnResponse(LinkStatus::Ok, CommandCode::RelayToggle, &three, threeOff, sizeof threeOff);
    ASSERT_EQ(recorder.relays.size(), 6u);
    EXPECT_EQ(recorder.relays[4].Relay, 2);
    EXPECT_EQ(recorder.relays[4].Cause, RelayChangeCause::RemoteOperator);
    EXPECT_EQ(recorder.relays[5].Relay, 3);
    EXPECT_EQ(recorder.relays[5].OldState, 0);
    EXPECT_EQ(recorder.relays[5].NewState, 1);
    EXPECT_EQ(recorder.relays[5].Cause, RelayChangeCause::Operator);
    f.manager.Detach(&recorder);
}
