// Figures for the pages: the first showing of the Log page over a full log file, the time
// from a status change on a worker thread to the Status page's new text, and the first
// showing of the Settings page with a thousand network monitors (time and private memory).
// Runs on the offscreen platform in a temporary data folder; prints milliseconds.
#include <QApplication>
#include <QLabel>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "core/ProcessMemory.h"
#include "log/Log.h"
#include "netmon/NetworkMonitor.h"
#include "ui/QuillmereSettings.h"
#include "ui/TasksPane.h"
#include "ui/QuillmereLog.h"
#include "ui/QuillmereStatus.h"

namespace
{
using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

void Summarise(const char* what, std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    std::printf("%-48s n=%zu  median %.3f ms  p95 %.3f ms  max %.3f ms\n", what, samples.size(),
                samples[samples.size() / 2], samples[samples.size() * 95 / 100], samples.back());
}

std::uintmax_t FileSize(const std::string& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

void LogPageFirstShowing(CQuillmereManager& manager, CLog& log)
{
    const std::string path = JoinPath(GetDataFolder(), CLog::kFileName);
    // Full: just below the size at which the next line would rotate the file. Debug traces,
    // because the log holds back floods of one command's errors; bounded all the same.
    const std::string text = "Sending: 02 0A 00 0A 03 Receiving: 02 0A 01 14 1F 03 (trace #";
    int n = 0;
    while (FileSize(path) + 120 < CLog::kRotateAboveBytes && n < 1'000'000)
        log.Write(LogEntryLevel::Debug, text + std::to_string(++n) + ")");
    std::printf("log file: %ju bytes, %d lines\n", FileSize(path), n);

    std::vector<double> samples;
    for (int round = 0; round < 20; ++round)
    {
        CQuillmereLog page;
        page.SetManager(&manager);
        page.resize(500, 400);
        const auto start = Clock::now();
        page.show();
        QCoreApplication::processEvents();
        samples.push_back(Milliseconds(Clock::now() - start));
        if (page.findChild<QTreeWidget*>(QStringLiteral("logList"))->topLevelItemCount() != 100)
            std::printf("unexpected: %d rows\n", page.findChild<QTreeWidget*>(QStringLiteral("logList"))->topLevelItemCount());
    }
    Summarise("Log page first showing, full 5 MiB log", samples);
}

double MiB(std::uint64_t bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

std::uint64_t PrivateBytes()
{
    return GetPrivateMemoryBytes().value_or(0);
}

// The operator opens the Settings tab, then the "Network Monitors" group, then scrolls to
// the end of it; each step is timed and its private memory measured.
void SettingsWithManyMonitors(int monitors)
{
    CAppSettings settings;
    while (static_cast<int>(settings.GetNetworkMonitors().size()) < monitors)
    {
        CNetworkMonitor* monitor = settings.AddNetworkMonitor();
        monitor->SetEventName("Camera " + std::to_string(settings.GetNetworkMonitors().size()));
        monitor->SetTarget("127.0.0.1");
    }
    CQuillmereManager manager;
    manager.SetSettings(&settings);
    QCoreApplication::processEvents();
    const std::uint64_t before = PrivateBytes();

    auto start = Clock::now();
    CQuillmereSettings page;
    page.SetPortSource([] { return std::vector<CSerialPortList::Entry>{{1, "COM1", {}}, {7, "COM7", {}}}; });
    page.SetManager(&manager);
    page.resize(520, 460);
    page.show();
    page.OnSetActive();
    QCoreApplication::processEvents();
    const double opened = Milliseconds(Clock::now() - start);
    const std::uint64_t afterOpen = PrivateBytes();

    CTasksPane* pane = page.findChild<CTasksPane*>();
    start = Clock::now();
    pane->SetGroupCollapsed(1, false);
    QCoreApplication::processEvents();
    const double expanded = Milliseconds(Clock::now() - start);
    const std::uint64_t afterExpand = PrivateBytes();

    start = Clock::now();
    pane->ensureVisible(0, pane->widget()->height() - 1);
    QCoreApplication::processEvents();
    const double scrolled = Milliseconds(Clock::now() - start);
    const std::uint64_t afterScroll = PrivateBytes();

    std::printf("Settings page, %d monitors (goal: opens within 1000 ms, adds under 50 MiB)\n", monitors);
    std::printf("  first showing:            %8.1f ms  %+8.2f MiB private\n", opened, MiB(afterOpen - before));
    std::printf("  monitors group opened:    %8.1f ms  %+8.2f MiB private (total %+.2f MiB)\n", expanded,
                MiB(afterExpand - afterOpen), MiB(afterExpand - before));
    std::printf("  scrolled to the last one: %8.1f ms  %+8.2f MiB private (total %+.2f MiB)\n", scrolled,
                MiB(afterScroll - afterExpand), MiB(afterScroll - before));
    page.OnKillActive();
}

void StatusLatency(CQuillmereManager& manager)
{
    CQuillmereStatus page;
    page.SetManager(&manager);
    page.resize(500, 420);
    page.show();
    QCoreApplication::processEvents();
    auto* rssi = page.findChild<QLabel*>(QStringLiteral("rssiField"));

    std::vector<double> samples;
    for (int round = 0; round < 200; ++round)
    {
        const int dbm = -113 + 2 * (round % 31);
        const QString expected = QStringLiteral("%1 dBm").arg(dbm);
        std::atomic<Clock::rep> sent{0};
        std::thread worker([&] {
            sent.store(Clock::now().time_since_epoch().count());
            manager.GetDeviceStatus()->SetRssi(dbm);
        });
        // The UI thread's loop, as the program runs it: wait for posts, handle them.
        const auto giveUp = Clock::now() + std::chrono::seconds(2);
        while (rssi->text() != expected && Clock::now() < giveUp)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const auto shown = Clock::now();
        if (rssi->text() != expected)
            std::printf("unexpected: the text stayed %s\n", qPrintable(rssi->text()));
        worker.join();
        samples.push_back(Milliseconds(shown - Clock::time_point(Clock::duration(sent.load()))));
        manager.GetDeviceStatus()->SetRssi(-2000);   // so the next round is a change
        QCoreApplication::processEvents();
    }
    Summarise("Status change on worker -> page text", samples);
}
}

int main(int argc, char** argv)
{
    char folder[] = "/tmp/qm-bench-pages-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("XDG_DATA_HOME", folder, 1);
    setenv("XDG_RUNTIME_DIR", folder, 1);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // First, while the process is still small, so that its growth is the page's.
    SettingsWithManyMonitors(1000);
    {
        CAppSettings settings;
        CQuillmereManager manager;
        CLog log;
        manager.SetSettings(&settings);
        manager.SetLog(&log);
        log.Open();
        if (!log.IsOpen())
        {
            std::printf("the log could not be opened in %s\n", folder);
            return 1;
        }
        StatusLatency(manager);
        LogPageFirstShowing(manager, log);
        manager.SetLog(nullptr);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
