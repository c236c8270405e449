#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/ControlRequest.h"
#include "control/ControlServer.h"

namespace
{
using Kind = CControlRequest::Kind;

struct Case
{
    std::string line;
    Kind what;
    int relay;
    int number;   // Lines for log, WaitSeconds for the others
    std::string error;   // a part of the reason, for a refused one
};
}

TEST(ControlRequestTest, ReadsEveryRequestAndRefusesTheRestWithAReason)
{
    const std::vector<Case> cases{
        {"status", Kind::Status, 0, 15, ""},
        {"relay 3 off wait=7", Kind::RelayOff, 3, 7, ""},
        {"  relay 1  cycle ", Kind::RelayCycle, 1, 15, ""},
        {"log 0 follow", Kind::Log, 0, 0, ""},
        {"log", Kind::Log, 0, 20, ""},
        {"relay 5 on", Kind::None, 0, 0, "usage: relay 1-4"},
        {"relay 03x on", Kind::None, 0, 0, "usage: relay 1-4"},
        {"relay 2 toggle", Kind::None, 0, 0, "'toggle' is not on, off or cycle"},
        {"poll wait=0", Kind::None, 0, 0, "wait=1..120"},
        {"reset wait=121", Kind::None, 0, 0, "wait=1..120"},
        {"log 1001", Kind::None, 0, 0, "line count 0..1000"},
        {"log 5 6", Kind::None, 0, 0, "line count 0..1000"},
        {"status yaml", Kind::None, 0, 0, "takes nothing or 'json'"},
        {"reload now", Kind::None, 0, 0, "reload takes nothing"},
        {"", Kind::None, 0, 0, "empty request"},
        {"st\xc3\xa4tus", Kind::None, 0, 0, "not printable ASCII"},
        {std::string(128, 'a'), Kind::None, 0, 0, "longer than 127 bytes"},
        {"shutdown " + std::string(100, 'z'), Kind::None, 0, 0, "unknown request 'shutdown'"},
    };
    for (const Case& c : cases)
    {
        const CControlRequest request = ParseControlRequest(c.line);
        EXPECT_EQ(request.What, c.what) << c.line;
        EXPECT_NE(request.Error.find(c.error), std::string::npos) << c.line << ": " << request.Error;
        if (c.what == Kind::None)
            continue;
        EXPECT_EQ(request.Relay, c.relay) << c.line;
        EXPECT_EQ(c.what == Kind::Log ? request.Lines : request.WaitSeconds, c.number) << c.line;
    }
    EXPECT_TRUE(ParseControlRequest("log 3 follow").Follow);
    EXPECT_TRUE(ParseControlRequest("monitors json").Json);
}

TEST(ControlRequestTest, OnlyTheProgramsUserRootAndTheGroupMayUseTheSocket)
{
    constexpr uid_t own = 990;
    constexpr gid_t group = 140;
    // uid, primary group, supplementary groups, the socket's group, allowed
    const std::vector<std::tuple<uid_t, gid_t, std::vector<gid_t>, std::optional<gid_t>, bool>> cases{
        {0, 0, {}, std::nullopt, true},
        {own, 990, {}, std::nullopt, true},
        {1000, 1000, {27, 140}, group, true},
        {1000, 140, {}, group, true},
        {1000, 1000, {27, 140}, std::nullopt, false},
        {1000, 1000, {27, 141}, group, false},
    };
    for (const auto& [uid, gid, groups, socketGroup, allowed] : cases)
        EXPECT_EQ(CControlServer::MayUse(uid, gid, groups, own, socketGroup), allowed) << uid << " " << gid;
}
