// Processor time of one check of each kind against peers on loopback, median of 100. Run it
// inside a private network namespace (check-bench.sh does); an HTTPS peer is taken from the
// command line ("https://127.0.0.1:PORT/" of a server whose certificate fails or passes alike).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "netmon/NetworkCheck.h"
#include "tests/support/LoopbackPeer.h"

namespace
{
double ThreadCpuMicroseconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

void Measure(const char* label, const std::string& text)
{
    const CheckTarget target = ParseCheckTarget(text);
    std::vector<double> times;
    int failures = 0;
    std::string reason;
    for (int i = 0; i < 100; ++i)
    {
        const double start = ThreadCpuMicroseconds();
        const CheckOutcome outcome = RunCheck(target, PingTiming{});
        times.push_back(ThreadCpuMicroseconds() - start);
        if (!outcome.Succeeded)
        {
            ++failures;
            reason = outcome.Reason;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("%-6s %-32s median %8.1f us  p90 %8.1f us  failed %d/100%s%s\n", label, text.c_str(), times[50],
                times[90], failures, reason.empty() ? "" : ": ", reason.c_str());
}
}

int main(int argc, char** argv)
{
    // Answers every connection with an empty 200.
    CLoopbackPeer server(CLoopbackPeer::HttpReply(200));
    const std::string port = std::to_string(server.Port());
    Measure("ping", "127.0.0.1");
    Measure("tcp", "tcp://127.0.0.1:" + port);
    Measure("http", "http://127.0.0.1:" + port + "/");
    if (argc > 1)
        Measure("https", argv[1]);
    return 0;
}
