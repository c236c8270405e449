#include "MemoryWatchdog.h"

#include <cstdio>
#include <string>

#include "config/AppSettings.h"
#include "core/ProcessMemory.h"
#include "log/Log.h"
#include "RestartHost.h"

namespace
{
constexpr const char* kRestartFormat = "Restarting: private memory %.1f MB is above the limit of %.1f MB";
constexpr double kBytesPerMegabyte = 1'000'000.0;
}

CMemoryWatchdog::CMemoryWatchdog() : m_memoryReader(&GetPrivateMemoryBytes), m_runTimeReader(&GetProcessRunTime)
{
}

void CMemoryWatchdog::Check()
{
    if (m_settings == nullptr || !m_settings->IsMemoryCheckEnabled() || !m_memoryReader)
        return;
    if (m_runTimeReader && m_runTimeReader() < kRunBeforeRestart)
        return;
    const std::optional<std::uint64_t> used = m_memoryReader();
    if (!used)
        return;
    // The limit is stored signed; compare as the unsigned byte count it stands for.
    const auto limit = static_cast<std::uint32_t>(m_settings->GetMaxMemorySizeInBytes());
    if (*used <= limit)
        return;
    // Without this line a log full of starts and ends would not say why they happen.
    if (m_log != nullptr)
    {
        char text[160];
        std::snprintf(text, sizeof text, kRestartFormat, static_cast<double>(*used) / kBytesPerMegabyte,
                      static_cast<double>(limit) / kBytesPerMegabyte);
        m_log->Write(LogEntryLevel::Event, text);
    }
    if (m_restartHost != nullptr)
        m_restartHost->RequestRestart();
}
