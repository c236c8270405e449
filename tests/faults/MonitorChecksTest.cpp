#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "FaultFixture.h"
#include "tests/support/TempDataFolder.h"

namespace
{
std::string Monitor(const std::string& name, const std::string& target, int relay, int resetLimit = 3,
                    const std::string& extra = {})
{
    return "<NetworkMonitor><EventName>" + name + "</EventName><Target>" + target +
           "</Target><PollIntervalInMinutes>1</PollIntervalInMinutes><RelayIndex>" + std::to_string(relay) +
           "</RelayIndex><Threshold>1</Threshold><Action>Cycle power</Action>"
           "<CycleEveryErrorCount>1</CycleEveryErrorCount><AutoResetLimit>" + std::to_string(resetLimit) +
           "</AutoResetLimit><CurrentResetCount>0</CurrentResetCount>" +
           extra + "</NetworkMonitor>";
}

// Answers every GET with the status given on its command line, on the address and port given.
constexpr const char* kStatusServer =
    "import http.server, sys\n"
    "class Handler(http.server.BaseHTTPRequestHandler):\n"
    "    def do_GET(self):\n"
    "        self.send_response(int(sys.argv[3]))\n"
    "        self.send_header('Content-Length', '0')\n"
    "        self.end_headers()\n"
    "    def log_message(self, *args):\n"
    "        pass\n"
    "http.server.HTTPServer((sys.argv[1], int(sys.argv[2])), Handler).serve_forever()\n";

bool HasCycleOf(const std::vector<std::string>& frames)
{
    for (const std::string& frame : frames)
    {
        if (faults::FrameCode(frame) == 5)
            return true;
    }
    return false;
}
}

// Peers inside the program's namespace, which answers no echo request: an HTTP server answering
// 200 and one answering 500, a TLS server with a self-signed certificate, and a port nobody
// listens on. Every monitor fails at its first failed check.
//
// The closed port's monitor waits a minute after a power cycle of its relay. Its first
// failure (a minute in) cycles relay 3; the unanswered ping, which fails only when its whole
// budget (over six seconds) has run out, cycles relay 3 once more after it. So the closed
// port's second failure, a minute after its first, falls plainly inside the grace of that
// later cycle and the third, two minutes after it, plainly outside.
TEST_F(FaultFixture, HttpTcpAndTlsChecksCycleOnlyWhatFailsAndAMalformedTargetNeverRuns)
{
    const std::string root = m_folder.Root();
    WriteWholeFile(root + "/status.py", kStatusServer);
    const std::string certificate = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.4 -keyout '" +
                                    root + "/key.pem' -out '" + root + "/cert.pem' >/dev/null 2>&1";
    ASSERT_EQ(std::system(certificate.c_str()), 0);
    const std::string peers =
        "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all && "
        "timeout 300 python3 '" + root + "/status.py' 127.0.0.3 8080 200 >/dev/null 2>&1 & "
        "timeout 300 python3 '" + root + "/status.py' 127.0.0.3 8081 500 >/dev/null 2>&1 & "
        "timeout 300 openssl s_server -quiet -www -accept 127.0.0.4:8443 -cert '" + root + "/cert.pem' -key '" +
        root + "/key.pem' >/dev/null 2>&1 & true";
    WriteWholeFile(SettingsPath(),
                   "<Settings>\n<ComPort>" + std::to_string(faults::kComPort) +
                       "</ComPort>\n<StatusPollIntervalInMinutes>30</StatusPollIntervalInMinutes>\n"
                       "<LogLevel>Debug</LogLevel>\n<EnableMemoryCheck>0</EnableMemoryCheck>\n"
                       "<MaxMemorySizeInBytes>26214400</MaxMemorySizeInBytes>\n<Relays></Relays>\n<NetworkMonitors>" +
                       Monitor("Healthy", "http://127.0.0.3:8080/", 2) +
                       Monitor("Broken", "http://127.0.0.3:8081/status", 1) +
                       Monitor("Closed", "tcp://127.0.0.5:9", 3, 3, "<GraceMinutes>1</GraceMinutes>") +
                       Monitor("Deaf", "127.0.0.3", 3, 1) +
                       Monitor("Untrusted", "https://127.0.0.4:8443/", 4) +
                       Monitor("Typo", "htp://127.0.0.3:8080/", 2) + "</NetworkMonitors>\n</Settings>\n");
    ProgramProcess program(OutputPath(), {}, {}, peers);
    ASSERT_TRUE(WaitUntilPolled()) << Diagnostics();
    // The malformed one is refused at once, the others are first checked a minute after the start.
    const std::string refusal = "Typo is off: its target \"htp://127.0.0.3:8080/\"";
    EXPECT_TRUE(faults::WaitFor([&] { return CountLogLinesWith(refusal) == 1; }, 5000)) << Diagnostics();
    const std::string closedFailure = "unable to communicate with tcp://127.0.0.5:9 power cycle on Relay 3";
    const std::string closedTrace = "check of tcp://127.0.0.5:9 failed: connection refused";
    ASSERT_TRUE(faults::WaitFor(
        [&] {
            return CountLogLinesWith("power cycle on Relay 1") > 0 && CountLogLinesWith(closedFailure) > 0 &&
                   CountLogLinesWith("power cycle on Relay 4") > 0 &&
                   CountLogLinesWith("unable to communicate with 127.0.0.3 power cycle on Relay 3") > 0;
        },
        110000))
        << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("unable to communicate with http://127.0.0.3:8081/status"), 1u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("check of http://127.0.0.3:8081/status failed: HTTP 500"), 1u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith(closedTrace), 1u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("check of https://127.0.0.4:8443/ failed: TLS: certificate verify failed"), 1u)
        << Diagnostics();
    // The host that drops echo requests fails its ping while its web server answers.
    EXPECT_EQ(CountLogLinesWith("check of 127.0.0.3 failed: no answer within 2 s"), 1u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("check of http://127.0.0.3:8080/ failed"), 0u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("power cycle on Relay 2"), 0u) << Diagnostics();

    // Within the grace the failure is traced but counts nothing; after it, it cycles again.
    ASSERT_TRUE(faults::WaitFor([&] { return CountLogLinesWith(closedTrace) == 2; }, 75000)) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith(closedFailure), 1u) << Diagnostics();
    ASSERT_TRUE(faults::WaitFor([&] { return CountLogLinesWith(closedFailure) == 2; }, 75000)) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith(closedTrace), 3u) << Diagnostics();
    EXPECT_EQ(CountLogLinesWith("power cycle on Relay 2"), 0u) << Diagnostics();
    ASSERT_TRUE(StopProgram(program)) << Diagnostics();
    EXPECT_TRUE(HasCycleOf(m_sim->ReceivedFrames())) << Diagnostics();
}
