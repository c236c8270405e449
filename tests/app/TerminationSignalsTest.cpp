#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "tests/support/QtWait.h"
#include "app/TerminationSignals.h"

namespace
{
bool HasDefaultAction(int signalNumber)
{
    struct sigaction current{};
    ::sigaction(signalNumber, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}
}

class TerminationSignalsTest : public ::testing::TestWithParam<int>
{
};

TEST_P(TerminationSignalsTest, TheSignalReachesTheHandlerOnTheEventLoop)
{
    std::vector<int> received;
    {
        CTerminationSignals signalWatch;
        ASSERT_TRUE(signalWatch.Install([&](int number) { received.push_back(number); }));
        ASSERT_EQ(::raise(GetParam()), 0);
        // Nothing happens inside the signal handler itself; the loop delivers it.
        EXPECT_TRUE(received.empty());
        EXPECT_TRUE(WaitUntil([&] { return !received.empty(); }));
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received.front(), GetParam());
    }
    EXPECT_TRUE(HasDefaultAction(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(EndingSignals, TerminationSignalsTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST(TerminationSignals, ManySignalsBeforeTheLoopRunsEndInOneCall)
{
    int calls = 0;
    CTerminationSignals signalWatch;
    ASSERT_TRUE(signalWatch.Install([&](int) { ++calls; }));
    for (int i = 0; i < 5; ++i)
        ::raise(SIGTERM);
    WaitUntil([&] { return calls > 0; });
    SpinEvents(30);
    EXPECT_EQ(calls, 1);
}

TEST(TerminationSignals, OnlyOneWatchIsInstalledAtATime)
{
    CTerminationSignals first;
    CTerminationSignals second;
    ASSERT_TRUE(first.Install([](int) {}));
    EXPECT_FALSE(second.Install([](int) {}));
}

TEST(TerminationSignals, ASignalOutsideTheWatchIsNotedAndKillsNothing)
{
    CTerminationSignals::NoteFromNowOn();
    {
        CTerminationSignals signalWatch;
        ASSERT_TRUE(signalWatch.Install([](int) {}));
    }
    // The watch is gone, as during the shutdown after the window closed: the process lives
    // on and the request is kept for the restart decision.
    EXPECT_FALSE(HasDefaultAction(SIGTERM));
    EXPECT_FALSE(CTerminationSignals::WasRequested());
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(CTerminationSignals::WasRequested());

    // Blocked, as while the process replaces itself: the signal waits instead of being taken.
    CTerminationSignals::BlockInThisThread();
    ASSERT_EQ(::raise(SIGHUP), 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGHUP));
    CTerminationSignals::NoteFromNowOn();   // the new program lets it through and notes it
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGHUP));
}
