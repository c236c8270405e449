#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "device/RelayStates.h"
#include "protocol/SerialCommand.h"

// The relay state decider: every report in arrival order, the newest winning, one record per
// real change with who caused it, and nothing at all from a cut message.
namespace
{
enum class Report { Status, Switch, SwitchAcknowledge, Unsolicited };

struct Step
{
    Report report;
    std::vector<unsigned char> bytes;   // the payload; for a bare acknowledge, the command's relay and state
    // Expected records as "relay:old>new/cause" joined by spaces.
    std::string changes;
};

struct SequenceCase
{
    const char* name;
    std::vector<Step> steps;
    std::vector<int> finalStates;   // relays 1 to 4
};

std::string Describe(const CRelayStates::Changes& changes)
{
    std::string text;
    for (const CRelayStateChangedEventArgs& change : changes)
    {
        if (!text.empty())
            text += ' ';
        text += std::to_string(change.Relay) + ':' + std::to_string(change.OldState) + '>' +
                std::to_string(change.NewState) + '/' +
                std::array{"poll", "operator", "remote", "unit", "web"}[static_cast<std::size_t>(change.Cause)];
    }
    return text;
}

class RelayStatesSequence : public testing::TestWithParam<SequenceCase> {};
}

TEST_P(RelayStatesSequence, TheNewestReportWinsAndEachChangeIsOneRecord)
{
    CRelayStates states;
    int n = 0;
    for (const Step& step : GetParam().steps)
    {
        CRelayStates::Changes changes;
        switch (step.report)
        {
        case Report::Status:
            changes = states.TakeRelayStatus(step.bytes.data(), step.bytes.size());
            break;
        case Report::Switch: {
            CSerialCommand command;   // what was asked need not be what was answered
            command.Code = 9;
            command.Param1 = 1;
            command.Param2 = 0;
            changes = states.TakeSwitchAnswer(step.bytes.data(), step.bytes.size(), &command,
                                              RelayChangeCause::RemoteOperator);
            break;
        }
        case Report::SwitchAcknowledge: {
            CSerialCommand command;
            command.Code = 9;
            command.Param1 = step.bytes[0];
            command.Param2 = step.bytes[1];
            changes = states.TakeSwitchAnswer(nullptr, 0, &command, RelayChangeCause::Operator);
            break;
        }
        case Report::Unsolicited:
            changes = states.TakeUnsolicited(step.bytes.data(), step.bytes.size());
            break;
        }
        EXPECT_EQ(Describe(changes), step.changes) << "step " << n;
        ++n;
    }
    const auto final = states.GetStates();
    EXPECT_EQ(std::vector<int>(final.begin(), final.end()), GetParam().finalStates);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, RelayStatesSequence,
    testing::Values(
        SequenceCase{"AllOffAfterAllOnChangesEveryRelayTheFirstIncludedAndAShortStatusOnlyItsOwn",
                     {{Report::Status, {0, 0, 0, 0}, "1:-1>0/poll 2:-1>0/poll 3:-1>0/poll 4:-1>0/poll"},
                      {Report::Status, {1, 1, 1, 1}, "1:0>1/poll 2:0>1/poll 3:0>1/poll 4:0>1/poll"},
                      {Report::Status, {1, 1, 1, 1}, ""},
                      {Report::Status, {0, 7}, "1:1>0/poll"}},
                     {0, 1, 1, 1}},
        SequenceCase{"ASwitchAnswerCountsAsAnsweredNotAsAsked",
                     {{Report::Status, {0, 0, 0, 0}, "1:-1>0/poll 2:-1>0/poll 3:-1>0/poll 4:-1>0/poll"},
                      {Report::Switch, {3, 1}, "3:0>1/remote"},
                      {Report::Switch, {3}, ""},
                      {Report::Switch, {9, 1}, ""},
                      {Report::SwitchAcknowledge, {2, 1}, "2:0>1/operator"}},
                     {0, 1, 1, 0}},
        SequenceCase{"APollThatDisagreesWithAnEarlierSwitchWins",
                     {{Report::Unsolicited, {3, 1, 1}, "3:-1>1/unit"},
                      {Report::Switch, {3, 0}, "3:1>0/remote"},
                      {Report::Unsolicited, {3, 1, 0}, "3:0>1/web"},
                      {Report::Status, {1, 1, 0, 1}, "1:-1>1/poll 2:-1>1/poll 3:1>0/poll 4:-1>1/poll"}},
                     {1, 1, 0, 1}},
        SequenceCase{"ACutOrForeignUnsolicitedMessageChangesNothing",
                     {{Report::Status, {1, 1, 1, 1}, "1:-1>1/poll 2:-1>1/poll 3:-1>1/poll 4:-1>1/poll"},
                      {Report::Unsolicited, {2}, ""},
                      {Report::Unsolicited, {2, 0}, ""},
                      {Report::Unsolicited, {0, 0, 1}, ""},
                      {Report::Unsolicited, {5, 0, 1}, ""},
                      {Report::Unsolicited, {4, 0, 7}, "4:1>0/unit"}},
                     {1, 1, 1, 0}}),
    [](const testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });
