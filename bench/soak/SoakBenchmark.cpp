// Soak: many exchanges through the manager, the link engine and the simulated unit with no
// pause between worker cycles. Prints the time taken and the private memory after the first
// 1,000 exchanges and at the end. Run it from an AddressSanitizer build to have the leak
// checker look at everything when it exits.
//
// Usage: soak_bench [exchanges]   (default 100000; QM_BINARY_DIR must name the build folder)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "core/ProcessMemory.h"
#include "protocol/CommandResponse.h"
#include "run/EngineRun.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace
{
class ExchangeCounter : public CObserver
{
public:
    void Update(CEventArgs* args) override
    {
        if (auto* response = dynamic_cast<CCommandResponse*>(args))
        {
            ++answered;
            if (response->GetResult() != LinkStatus::Ok)
                ++failed;
        }
    }
    std::atomic<long> answered{0};
    std::atomic<long> failed{0};
};

double MiB(std::uint64_t bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}
}

int main(int argc, char** argv)
{
    const long target = argc > 1 ? std::atol(argv[1]) : 100000;
    if (target < 1000)
    {
        std::fprintf(stderr, "at least 1000 exchanges\n");
        return 2;
    }
    TempDataFolder folder;
    CreateDirectoryTree(JoinPath(GetDataFolder(), "ports"));
    DevSimProcess unit({"--data-folder", GetDataFolder(), "--com", "7"}, 3600);
    if (!unit.Started())
    {
        std::fprintf(stderr, "simulated unit did not start: %s\n", unit.Error().c_str());
        return 1;
    }

    // The program's run without timers: this loop polls by hand as fast as the unit answers.
    CEngineRun run({});
    CQuillmereManager& manager = run.Manager();
    CQMNetLink& link = run.Link();
    run.Begin();
    run.Settings().SetComPort(7);
    manager.SetLinkTiming({3, 0, 2000});
    ExchangeCounter counter;
    manager.Attach(&counter);

    const auto start = std::chrono::steady_clock::now();
    manager.Connect();
    std::uint64_t memoryAt1000 = 0;
    const auto deadline = start + std::chrono::minutes(30);
    while (counter.answered.load() < target && std::chrono::steady_clock::now() < deadline)
    {
        // Keep a poll in the queue so the worker never idles. A poll queued on top of one not
        // yet sent replaces it, so the queue itself says when another is due.
        if (link.GetQueueLength() < 4)
            manager.Poll();
        else
        {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (memoryAt1000 == 0 && counter.answered.load() >= 1000)
            memoryAt1000 = GetPrivateMemoryBytes().value_or(0);
    }
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint64_t memoryAtEnd = GetPrivateMemoryBytes().value_or(0);
    run.End();
    manager.Detach(&counter);

    std::printf("exchanges answered: %ld (failed: %ld) in %.1f s, %.0f per second\n", counter.answered.load(),
                counter.failed.load(), elapsed, static_cast<double>(counter.answered.load()) / elapsed);
    std::printf("private memory after 1,000: %.3f MiB; at the end: %.3f MiB; growth %+.3f MiB\n", MiB(memoryAt1000),
                MiB(memoryAtEnd), MiB(memoryAtEnd) - MiB(memoryAt1000));
    const bool flat = memoryAtEnd <= memoryAt1000 + (1u << 20);
    std::printf("within 1 MiB: %s\n", flat ? "yes" : "no");
    return counter.answered.load() >= target && counter.failed.load() == 0 && flat ? 0 : 1;
}
