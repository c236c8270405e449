#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "MonitorRecorder.h"
#include "netmon/CheckTarget.h"
#include "netmon/NetworkCheck.h"
#include "netmon/NetworkMonitor.h"
#include "tests/support/LoopbackPeer.h"

// Every peer here listens on 127.0.0.1 in this process; nothing leaves the machine.

namespace
{
const PingTiming kQuick{3, 300, 50};

CheckOutcome Check(const std::string& text)
{
    return RunCheck(ParseCheckTarget(text), kQuick);
}
}

TEST(CheckTargetTest, TheTextChoosesTheCheckAndRefusesEverythingElse)
{
    struct Case
    {
        const char* text;
        CheckKind kind;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"www.example.net", CheckKind::Ping, "www.example.net", 0},
        {"192.168.0.20", CheckKind::Ping, "192.168.0.20", 0},
        {"tcp://10.0.0.5:22", CheckKind::Tcp, "10.0.0.5", 22},
        {"TCP://router:65535", CheckKind::Tcp, "router", 65535},
        {"http://player", CheckKind::Http, "player", 80},
        {"http://player:8080/health?x=1", CheckKind::Http, "player", 8080},
        {"https://display.local/", CheckKind::Https, "display.local", 443},
        {"tcp://host", CheckKind::Invalid, "", 0},
        {"tcp://host:0", CheckKind::Invalid, "", 0},
        {"tcp://host:65536", CheckKind::Invalid, "", 0},
        {"tcp://host:22/x", CheckKind::Invalid, "", 0},
        {"tcp://:22", CheckKind::Invalid, "", 0},
        {"http://:80/", CheckKind::Invalid, "", 0},
        {"http://user@host/", CheckKind::Invalid, "", 0},
        {"http://host:99999/", CheckKind::Invalid, "", 0},
        {"http://host/a b", CheckKind::Invalid, "", 0},
        {"ftp://host/", CheckKind::Invalid, "", 0},
        {"file:///etc/passwd", CheckKind::Invalid, "", 0},
        {"host name", CheckKind::Invalid, "", 0},
        {"", CheckKind::Invalid, "", 0},
    };
    for (const Case& c : cases)
    {
        const CheckTarget target = ParseCheckTarget(c.text);
        EXPECT_EQ(target.Kind, c.kind) << c.text;
        if (c.kind != CheckKind::Invalid)
        {
            EXPECT_EQ(target.Host, c.host) << c.text;
            EXPECT_EQ(target.Port, c.port) << c.text;
        }
    }
}

TEST(NetworkCheckTest, TcpAndHttpAgainstRealPeersGiveTheVerdictAndTheReason)
{
    CLoopbackPeer ok(CLoopbackPeer::HttpReply(200));
    CLoopbackPeer redirect(CLoopbackPeer::HttpReply(302));
    CLoopbackPeer broken(CLoopbackPeer::HttpReply(503));
    CLoopbackPeer silent("");
    ASSERT_NE(ok.Port(), 0);
    const std::string base = "http://127.0.0.1:";
    const int closed = FreeLoopbackPort();

    EXPECT_TRUE(Check("tcp://127.0.0.1:" + std::to_string(ok.Port())).Succeeded);
    EXPECT_TRUE(Check(base + std::to_string(ok.Port()) + "/").Succeeded);
    EXPECT_TRUE(Check(base + std::to_string(redirect.Port())).Succeeded);

    const CheckOutcome refused = Check("tcp://127.0.0.1:" + std::to_string(closed));
    EXPECT_FALSE(refused.Succeeded);
    EXPECT_EQ(refused.Reason, "connection refused");
    EXPECT_EQ(Check(base + std::to_string(closed)).Reason, "connection refused");

    const CheckOutcome failing = Check(base + std::to_string(broken.Port()) + "/status");
    EXPECT_FALSE(failing.Succeeded);
    EXPECT_EQ(failing.Reason, "HTTP 503");
    EXPECT_EQ(broken.Connections(), 3);   // every try is spent before a failure

    const auto start = std::chrono::steady_clock::now();
    const CheckOutcome mute = Check(base + std::to_string(silent.Port()));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(mute.Succeeded);
    EXPECT_FALSE(mute.Abandoned);
    EXPECT_EQ(mute.Reason, "no status within 300 ms");
    EXPECT_GE(took, std::chrono::milliseconds(3 * 300 + 2 * 50));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(NetworkCheckTest, AStopAbandonsAnHttpCheckAtOnceAndTheMonitorCountsNothing)
{
    CLoopbackPeer silent("");
    auto cancellation = std::make_shared<CStopSignal>();
    CNetworkMonitor monitor;
    monitor.SetThreshold(1);
    monitor.SetTarget("http://127.0.0.1:" + std::to_string(silent.Port()) + "/");
    std::string trace = "unset";
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread check([&] {
        SetThreadPingCancellation(cancellation);
        monitor.Run(&trace);
        SetThreadPingCancellation(nullptr);
        done = true;
    });
    while (silent.Connections() == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancellation->Request();
    check.join();
    // Far less than one 2 s try: the stop ended the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(monitor.GetFailureCount(), 0);
    EXPECT_EQ(monitor.GetCurrentResetCount(), 0);
    EXPECT_EQ(trace, "unset");
    EXPECT_EQ(monitor.GetLastResult(), "");
}

TEST(NetworkCheckTest, InvalidTargetNeverCountsAndGraceHoldsFailuresAfterAPowerCycle)
{
    CNetworkMonitor monitor;
    monitor.SetThreshold(1);
    monitor.SetAutoResetLimit(5);
    MonitorRecorder recorder;
    monitor.Attach(&recorder);

    monitor.SetTarget("ftp://host/");
    monitor.SetPingFunction([](const std::string&) { return PingNoAnswer; });
    EXPECT_TRUE(monitor.Run());
    EXPECT_TRUE(recorder.Errors().empty());

    monitor.SetTarget("pinged.host");
    monitor.SetGraceMinutes(10);
    monitor.NotePowerCycle();
    std::string trace;
    monitor.Run(&trace);
    EXPECT_TRUE(recorder.Errors().empty());   // the failure within the grace period counted nothing
    EXPECT_EQ(trace, "Network monitor check of pinged.host failed: no answer within 2 s");
    EXPECT_EQ(monitor.GetLastResult(), "no answer within 2 s");

    monitor.SetGraceMinutes(0);
    monitor.Run();
    EXPECT_EQ(recorder.Errors().size(), 1u);
    monitor.Detach(&recorder);
}
