#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "remote/RemoteCommand.h"

using Kind = CRemoteCommand::Kind;

struct Accepted
{
    const char* topic;
    const char* payload;
    Kind what;
    int relay;
};

void PrintTo(const Accepted& c, std::ostream* os)
{
    *os << c.topic << " " << c.payload;
}

class RemoteCommandAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(RemoteCommandAccepted, IsRead)
{
    const CRemoteCommand command = ParseRemoteCommand(GetParam().topic, GetParam().payload);
    EXPECT_EQ(command.What, GetParam().what) << command.Error;
    EXPECT_EQ(command.Relay, GetParam().relay);
}

INSTANTIATE_TEST_SUITE_P(Commands, RemoteCommandAccepted,
                         ::testing::Values(Accepted{"relay/1/set", "ON", Kind::RelayOn, 1},
                                           Accepted{"relay/4/set", "off", Kind::RelayOff, 4},
                                           Accepted{"relay/2/set", "Cycle", Kind::RelayCycle, 2},
                                           Accepted{"reset", "RESET", Kind::Reset, 0},
                                           Accepted{"poll", "", Kind::Poll, 0},
                                           Accepted{"poll", "poll", Kind::Poll, 0}));

struct Refused
{
    std::string topic;
    std::string payload;
    const char* reason;
};

void PrintTo(const Refused& c, std::ostream* os)
{
    *os << c.topic << " (" << c.payload.size() << " bytes)";
}

class RemoteCommandRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(RemoteCommandRefused, SaysWhy)
{
    const CRemoteCommand command = ParseRemoteCommand(GetParam().topic, GetParam().payload);
    EXPECT_FALSE(command.IsValid());
    EXPECT_EQ(command.Error, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RemoteCommandRefused,
    ::testing::Values(Refused{"relay/0/set", "ON", "no relay \"0\" (relays are 1 to 4)"},
                      Refused{"relay/5/set", "ON", "no relay \"5\" (relays are 1 to 4)"},
                      Refused{"relay/12/set", "ON", "no relay \"12\" (relays are 1 to 4)"},
                      Refused{"relay/x/set", "ON", "no relay \"x\" (relays are 1 to 4)"},
                      Refused{"relay/1/set", "TOGGLE", "relay 1 takes ON, OFF or CYCLE, not \"TOGGLE\""},
                      Refused{"relay/1/set", "ON ", "relay 1 takes ON, OFF or CYCLE, not \"ON \""},
                      Refused{"relay/1/set", std::string("O\0N", 3), "relay 1 takes ON, OFF or CYCLE, not \"O?N\""},
                      Refused{"relay/1/set", std::string(257, 'A'), "payload of 257 bytes on \"relay/1/set\" is over 256"},
                      Refused{"reset", "", "reset needs the payload RESET, not \"\""},
                      Refused{"poll", "now", "poll takes no payload or POLL, not \"now\""},
                      Refused{"relay/set", "ON", "unknown topic \"relay/set\""},
                      Refused{"relay/1/get", "ON", "unknown topic \"relay/1/get\""},
                      Refused{"status", "{}", "unknown topic \"status\""}));

TEST(RemoteCommand, TopicLevelsFromFreeTextAreValidStableAndNeverShared)
{
    struct Case
    {
        std::string name;
        std::string level;
    };
    const std::vector<Case> cases = {
        {"ISP router", "ISP router"},
        {"Router/1", "Router%2F1"},
        {"Router+1", "Router%2B1"},
        {"Router_1", "Router_1"},
        {"Router%2F1", "Router%252F1"},
        {" Router 1 ", "%20Router 1%20"},
        {"tab\there\x7F", "tab%09here%7F"},
        {std::string("nul\0", 4), "nul%00"},
        {"B\xC3\xBCro", "B\xC3\xBCro"},          // well-formed UTF-8 stays
        {"B\xFCro\xE2\x82", "B%FCro%E2%82"},     // Latin-1, a cut sequence
        {"c1\xC2\x85", "c1%C2%85"},             // a C1 control character
        {"", "%"},
    };
    std::set<std::string> levels;
    for (const Case& c : cases)
    {
        EXPECT_EQ(TopicLevel(c.name), c.level) << c.name;
        EXPECT_TRUE(levels.insert(c.level).second) << c.level << " twice";
    }
    EXPECT_EQ(ObjectId("Router/1"), "Router_2f1");
    EXPECT_EQ(ObjectId("Router_1"), "Router_5f1");
    EXPECT_EQ(ObjectId("Router_2f1"), "Router_5f2f1");
}
