// Figures for the two pages: the first showing of the Log page over a full log file, and
// the time from a status change on a worker thread to the Status page's new text.
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
#include "log/Log.h"
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
    // Full: just below the size at which the next line would rotate the file.
    const std::string text = "Error for RSSI command The device did not answer in time (time-out) #";
    int n = 0;
    while (FileSize(path) + 120 < CLog::kRotateAboveBytes)
        log.Write(LogEntryLevel::Error, text + std::to_string(++n));
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
