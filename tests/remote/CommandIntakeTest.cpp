#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "BridgeFixture.h"
#include "core/Clock.h"
#include "remote/CommandIntake.h"

// The command intake between the broker's messages and the manager, with the real link and
// the simulated unit behind it and a clock the test moves: what it lets through does not
// depend on how fast this machine is.
namespace
{
class CommandIntake : public BridgeFixture
{
protected:
    static std::string Topic(const std::string& sub) { return std::string(kBase) + "/" + sub; }

    // Relay 3's switch frames the unit received, and the last one.
    std::size_t Switches(std::string& last)
    {
        std::size_t switches = 0;
        for (const std::string& frame : unit->ReceivedFrames())
            if (frame.starts_with("02 09 02 03 "))
            {
                last = frame;
                ++switches;
            }
        return switches;
    }

    CManualClock clock;
};
}

TEST_F(CommandIntake, ABurstOfCommandsIsPacedTheLastWordWinsAndTheLogStaysShort)
{
    StartSite();
    ConnectLink();
    ASSERT_FALSE(HasFatalFailure());
    CCommandIntake intake(&manager, [this](CCommandIntake::Task task) { tasks.push_back(std::move(task)); }, clock);
    intake.SetBase(std::string(kBase) + "/");
    intake.SetRefusalLogInterval(std::chrono::seconds(1));
    const std::size_t linesBefore = LogLines().size();

    // 1,000 switches of relay 3, OFF and ON in turn, the last one ON, within 100 ms; the UI
    // thread carries out what it was handed after every tenth, when the newest word is ON.
    // Then 30 polls.
    const auto step = std::chrono::microseconds(100);
    std::size_t handedOver = 0;
    for (int i = 0; i < 1000; ++i)
    {
        intake.Take(Topic("relay/3/set"), i % 2 == 0 ? "OFF" : "ON", false);
        intake.Tick();
        clock.Advance(step);
        if (i % 10 == 9)
            handedOver += RunUiTasks();
    }
    for (int i = 0; i < 30; ++i)
    {
        intake.Take(Topic("poll"), "", false);
        intake.Tick();
        clock.Advance(step);
    }
    handedOver += RunUiTasks();
    // A second later: the relay's waiting word got its token, and the refusals were counted.
    for (int i = 0; i < 5; ++i)
    {
        clock.Advance(std::chrono::milliseconds(200));
        intake.Tick();
        handedOver += RunUiTasks();
    }
    EXPECT_EQ(PendingUiTasks(), 0u);

    std::string last;
    ASSERT_TRUE(WaitUntil([&] { return Switches(last) > 0 && last.starts_with("02 09 02 03 00"); }, 10000)) << last;
    // Paced: the bucket and what a little over a second refilled, not a hundred.
    const double seconds = 1.103;
    EXPECT_LE(handedOver, static_cast<std::size_t>(CCommandIntake::kCommandBurst +
                                                   CCommandIntake::kCommandsPerSecond * seconds + 1));
    EXPECT_LE(Switches(last), handedOver);
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: more than 5 commands a second; poll dropped"));
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: 29 more commands refused"));
    ASSERT_TRUE(WaitUntil([&] { return manager.GetRelayStates().GetState(3) == 0; }, 10000));

    std::size_t remoteLines = 0;
    const auto lines = LogLines();
    for (std::size_t i = linesBefore; i < lines.size(); ++i)
        remoteLines += lines[i].find("remote operator") != std::string::npos ||
                       lines[i].find("Remote command") != std::string::npos;
    EXPECT_LE(remoteLines, 25u);
}
