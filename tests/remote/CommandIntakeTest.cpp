#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <typeinfo>

#include "BridgeFixture.h"
#include "core/Clock.h"
#include "protocol/CommandResponse.h"
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

    // The link's answers reach the intake as the bridge's route hands them on.
    class Answers final : public CObserver
    {
    public:
        void Update(CEventArgs* args) override
        {
            if (args != nullptr && typeid(*args) == typeid(CCommandResponse))
                intake->LinkAnswered(static_cast<const CCommandResponse&>(*args));
        }
        CCommandIntake* intake = nullptr;
    };

    CManualClock clock;
    Answers route;
};
}

TEST_F(CommandIntake, ABurstOfCommandsAndJunkIsPacedTheLastWordWinsAndTheLogStaysShort)
{
    StartSite();
    CCommandIntake intake(&manager, [this](CCommandIntake::Task task) { tasks.push_back(std::move(task)); }, clock);
    route.intake = &intake;
    manager.Attach(&route);
    ConnectLink();
    ASSERT_FALSE(HasFatalFailure());
    intake.SetBase(std::string(kBase) + "/");
    intake.SetRefusalLogInterval(std::chrono::seconds(1));
    const std::size_t linesBefore = LogLines().size();

    // 300 junk commands left retained, as the broker replays them at a subscription.
    for (int i = 0; i < 300; ++i)
        intake.Take(Topic("relay/" + std::to_string(100 + i) + "/set"), "ON", true);
    // 1,000 switches of relay 3, OFF and ON in turn, the last one ON, within 100 ms; the UI
    // thread carries out what it was handed after every tenth, when the newest word is ON, and
    // the link answers each order before the next comes. Then 30 polls.
    const auto step = std::chrono::microseconds(100);
    std::size_t handedOver = 0;
    for (int i = 0; i < 1000; ++i)
    {
        intake.Take(Topic("relay/3/set"), i % 2 == 0 ? "OFF" : "ON", false);
        intake.Tick();
        clock.Advance(step);
        if (i % 10 == 9)
        {
            handedOver += RunUiTasks();
            ASSERT_TRUE(WaitUntil([&] { return !intake.IsAnswerPending(3); }, 10000));
        }
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
    ASSERT_TRUE(WaitUntil([&] {
        intake.Tick();
        handedOver += RunUiTasks();
        return Switches(last) > 0 && last.starts_with("02 09 02 03 00") && !intake.IsAnswerPending(3);
    }, 10000)) << last;
    // Paced: the bucket and what a little over a second refilled, not a hundred.
    const double seconds = 1.103;
    EXPECT_LE(handedOver, static_cast<std::size_t>(CCommandIntake::kCommandBurst +
                                                   CCommandIntake::kCommandsPerSecond * seconds + 1));
    EXPECT_LE(Switches(last), handedOver);
    // The polls found the bucket empty; the junk had used the lines of the interval, so the
    // refusals are one count with the last reason.
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: 30 more commands refused (the last: more than 5 commands "
                           "a second; poll dropped)"));
    EXPECT_TRUE(WaitForLog("Error,Remote command ignored: retained message on " + Topic("relay/100/set")));
    EXPECT_TRUE(WaitForLog("Error,Remote command ignored: " + std::to_string(300 - CCommandIntake::kLineBudget) +
                           " more retained messages ignored; clear them with empty retained messages"));
    ASSERT_TRUE(WaitUntil([&] { return manager.GetRelayStates().GetState(3) == 0; }, 10000));

    // What is held when the run ends is written before its last line, not lost.
    for (int i = 0; i < 3; ++i)
        intake.Take(Topic("relay/9/set"), "ON", false);
    intake.WriteHeldCounts();
    EXPECT_TRUE(WaitForLog("Error,Remote command refused: 2 more commands refused"));
    manager.Stop();
    manager.WaitForThreads();
    manager.Detach(&route);

    std::size_t remoteLines = 0;
    const auto lines = LogLines();
    for (std::size_t i = linesBefore; i < lines.size(); ++i)
        remoteLines += lines[i].find("remote operator") != std::string::npos ||
                       lines[i].find("Remote command") != std::string::npos;
    EXPECT_LE(remoteLines, 30u);


}
