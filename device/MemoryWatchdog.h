#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class CAppSettings;
class CLog;
class IRestartHost;

// Restarts the program when its private memory has grown past the limit the settings hold:
// a leak must not take the machine it supervises down with it. Looked at at every poll.
class CMemoryWatchdog
{
public:
    using MemoryReader = std::function<std::optional<std::uint64_t>()>;
    using RunTimeReader = std::function<std::chrono::steady_clock::duration()>;

    // A younger process is left alone: a limit below what start-up needs would otherwise
    // restart the program at every start, hundreds of times a minute.
    static constexpr std::chrono::minutes kRunBeforeRestart{1};

    CMemoryWatchdog();

    void SetSettings(const CAppSettings* settings) { m_settings = settings; }
    void SetLog(CLog* log) { m_log = log; }
    void SetRestartHost(IRestartHost* host) { m_restartHost = host; }
    void SetMemoryReader(MemoryReader reader) { m_memoryReader = std::move(reader); }
    void SetRunTimeReader(RunTimeReader reader) { m_runTimeReader = std::move(reader); }

    // Writes the restart's reason and asks the host to restart when the limit is passed.
    void Check();

private:
    const CAppSettings* m_settings = nullptr;
    CLog* m_log = nullptr;
    IRestartHost* m_restartHost = nullptr;
    MemoryReader m_memoryReader;
    RunTimeReader m_runTimeReader;
};
