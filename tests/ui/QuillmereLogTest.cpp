#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeWidget>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "config/AppSettings.h"
#include "core/DataFolder.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "ui/QuillmereLog.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// The page with the save dialog answered by the test.
class ExportingLogPage : public CQuillmereLog
{
public:
    std::optional<QString> answer;
    int asked = 0;

protected:
    std::optional<QString> ChooseExportPath() override
    {
        ++asked;
        return answer;
    }
};

class LogPage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        manager.SetSettings(&settings);
        manager.SetLog(&log);
        log.Open();
        ASSERT_TRUE(log.IsOpen());
        page.SetManager(&manager);
        page.resize(500, 400);
    }

    void TearDown() override { manager.SetLog(nullptr); }

    void WriteLines(int first, int last)
    {
        for (int n = first; n <= last; ++n)
            log.Write(LogEntryLevel::Event, "line " + std::to_string(n));
    }

    void WriteFromAnotherThread(const std::string& text)
    {
        std::thread writer([&] { log.Write(LogEntryLevel::Event, text); });
        writer.join();
        QCoreApplication::sendPostedEvents();
    }

    void Show()
    {
        page.show();
        QCoreApplication::sendPostedEvents();
    }

    int Rows() const { return page.findChild<QTreeWidget*>(QStringLiteral("logList"))->topLevelItemCount(); }
    QString Cell(int row, int column) const
    {
        const QTreeWidgetItem* item = page.findChild<QTreeWidget*>(QStringLiteral("logList"))->topLevelItem(row);
        return item != nullptr ? item->text(column) : QStringLiteral("<no row %1>").arg(row);
    }

    TempDataFolder folder;
    CAppSettings settings;
    CQuillmereManager manager;
    CLog log;
    ExportingLogPage page;
};
}

TEST_F(LogPage, HasTheThreeColumnsAndTheExportButton)
{
    const QTreeWidgetItem* header = page.findChild<QTreeWidget*>(QStringLiteral("logList"))->headerItem();
    ASSERT_EQ(page.findChild<QTreeWidget*>(QStringLiteral("logList"))->columnCount(), 3);
    EXPECT_EQ(header->text(0), "Date/Time");
    EXPECT_EQ(header->text(1), "Event");
    EXPECT_EQ(header->text(2), "Description");
    // At least the widths drawn for an 8-point font, more for a larger one; the
    // operator can drag them wider.
    const QTreeWidget* list = page.findChild<QTreeWidget*>(QStringLiteral("logList"));
    EXPECT_GE(list->columnWidth(0), 95);
    EXPECT_GE(list->columnWidth(1), 75);
    EXPECT_GE(list->columnWidth(2), 300);
    EXPECT_EQ(list->header()->sectionResizeMode(0), QHeaderView::Interactive);
    auto* button = page.findChild<QPushButton*>("exportButton");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Export Log");
}

TEST_F(LogPage, ShowsTheNewestHundredOfALongLogNewestOnTop)
{
    WriteLines(1, 250);
    Show();
    ASSERT_EQ(Rows(), 100);
    EXPECT_EQ(Cell(0, 2), "line 250");
    EXPECT_EQ(Cell(0, 1), "Event");
    EXPECT_EQ(Cell(99, 2), "line 151");
}

TEST_F(LogPage, ShowsAShortLogWholeWithTheOldestLinesFirstCharacter)
{
    WriteLines(1, 3);
    Show();
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(2, 2), "line 1");
    // The file's first byte is the leading space; the oldest row starts after it.
    const std::string file = ReadWholeFile(JoinPath(GetDataFolder(), "Quillmere.log"));
    ASSERT_GT(file.size(), 1u);
    ASSERT_EQ(file[0], ' ');
    const std::string firstDate = file.substr(1, file.find(',') - 1);
    EXPECT_EQ(Cell(2, 0).toStdString(), firstDate);
    EXPECT_FALSE(Cell(2, 0).startsWith(' '));
}

TEST_F(LogPage, PicksUpLinesWrittenBeforeItWasFirstShownFromTheFileOnce)
{
    WriteLines(1, 2);
    WriteFromAnotherThread("before showing");
    Show();
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(0, 2), "before showing");
    EXPECT_EQ(Cell(2, 2), "line 1");
}

TEST_F(LogPage, PutsALiveLineOnTopAndDropsTheOldestPastAHundred)
{
    WriteLines(1, 250);
    Show();
    WriteFromAnotherThread("line 251");
    ASSERT_EQ(Rows(), 100);
    EXPECT_EQ(Cell(0, 2), "line 251");
    EXPECT_EQ(Cell(99, 2), "line 152");
}

TEST_F(LogPage, CutsTheDescriptionAtItsFirstComma)
{
    Show();
    WriteFromAnotherThread("a,b");
    log.Write(LogEntryLevel::Error, "Error for RSSI command, again");
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(1, 2), "a");
    EXPECT_EQ(Cell(0, 1), "Error");
    EXPECT_EQ(Cell(0, 2), "Error for RSSI command");
}

TEST_F(LogPage, DecodesUtf8AndShowsBrokenBytesAsReplacementCharacters)
{
    log.Write(LogEntryLevel::Event, "Relais \xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
    log.Write(LogEntryLevel::Event, "bad \xFF byte \xC3");
    Show();
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(1, 2), QString::fromUtf8("Relais \u00e9t\u00e9 \u20ac"));
    EXPECT_EQ(Cell(0, 2), QString::fromUtf8("bad \uFFFD byte \uFFFD"));

    WriteFromAnotherThread("live \xC3\xA9 \xFE");
    EXPECT_EQ(Cell(0, 2), QString::fromUtf8("live \u00e9 \uFFFD"));
}

TEST_F(LogPage, StartsEmptyWhenTheLogIsBusyAndFillsWithLiveLines)
{
    WriteLines(1, 5);
    std::mutex mutex;
    std::condition_variable changed;
    bool locked = false;
    bool release = false;
    std::thread holder([&] {
        const bool got = log.Lock();
        {
            std::lock_guard<std::mutex> guard(mutex);
            locked = true;
        }
        changed.notify_all();
        std::unique_lock<std::mutex> wait(mutex);
        changed.wait(wait, [&] { return release; });
        if (got)
            log.Unlock();
    });
    {
        std::unique_lock<std::mutex> wait(mutex);
        changed.wait(wait, [&] { return locked; });
    }
    Show();
    EXPECT_EQ(Rows(), 0);
    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
    }
    changed.notify_all();
    holder.join();

    WriteFromAnotherThread("after the busy read");
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Cell(0, 2), "after the busy read");
}

TEST_F(LogPage, NeitherLosesNorDoublesLinesWrittenWhileTheFileIsRead)
{
    WriteLines(1, 50);
    std::atomic<bool> stop{false};
    std::atomic<int> written{50};
    std::thread writer([&] {
        for (int n = 51; n <= 400 && !stop.load(); ++n)
        {
            log.Write(LogEntryLevel::Event, "line " + std::to_string(n));
            written.store(n);
        }
    });
    while (written.load() < 60)
        std::this_thread::yield();
    Show();
    writer.join();
    QCoreApplication::sendPostedEvents();

    // Whatever the interleaving, the list is the newest hundred lines, each once, in order.
    const int last = written.load();
    ASSERT_EQ(Rows(), 100);
    for (int row = 0; row < 100; ++row)
        ASSERT_EQ(Cell(row, 2).toStdString(), "line " + std::to_string(last - row)) << "row " << row;
}

TEST_F(LogPage, ExportsToTheChosenPathAndDoesNothingWhenCancelled)
{
    WriteLines(1, 3);
    Show();
    auto* button = page.findChild<QPushButton*>("exportButton");

    const std::string cancelled = folder.Root() + "/cancelled.log";
    page.answer.reset();
    button->click();
    EXPECT_EQ(page.asked, 1);
    EXPECT_FALSE(std::ifstream(cancelled).good());

    const std::string target = folder.Root() + "/copy of Quillmere.log";
    page.answer = QString::fromStdString(target);
    button->click();
    const std::string copy = ReadWholeFile(target);
    EXPECT_NE(copy.find("line 3"), std::string::npos);
    EXPECT_NE(copy.find("line 1"), std::string::npos);
}

TEST(LogPageLifetime, DetachesFromTheLogWhenDestroyed)
{
    TempDataFolder folder;
    CAppSettings settings;
    CQuillmereManager manager;
    CLog log;
    manager.SetSettings(&settings);
    manager.SetLog(&log);
    const std::size_t before = log.GetObserverCount();
    {
        CQuillmereLog page;
        page.SetManager(&manager);
        page.show();
        EXPECT_EQ(log.GetObserverCount(), before + 1);
    }
    EXPECT_EQ(log.GetObserverCount(), before);
    log.Write(LogEntryLevel::Event, "after the page");   // would reach a freed page if still listed
    QCoreApplication::sendPostedEvents();
    manager.SetLog(nullptr);
}

TEST_F(LogPage, KeepsIdenticalLinesAsManyTimesAsTheyWereWritten)
{
    // Raised before the first showing but delivered after it: the file read has it already,
    // and only its sequence can tell it from the identical lines that follow.
    std::thread early([&] { log.Write(LogEntryLevel::Debug, "TX 02 01 00 01 03"); });
    early.join();
    Show();
    ASSERT_EQ(Rows(), 1);
    WriteFromAnotherThread("TX 02 01 00 01 03");
    WriteFromAnotherThread("TX 02 01 00 01 03");
    ASSERT_EQ(Rows(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Cell(row, 2), "TX 02 01 00 01 03");
}

// The tooltip shows the text as written, markup in a name included (Qt would draw it as markup).
TEST_F(LogPage, ALongDescriptionCanBeReadInItsTooltipAsWritten)
{
    const std::string longText = "Relay 1 (<b>lobby</b> &amp; hall) " + std::string(400, 'x');
    Show();
    WriteFromAnotherThread(longText);
    const QTreeWidgetItem* item = page.findChild<QTreeWidget*>(QStringLiteral("logList"))->topLevelItem(0);
    ASSERT_NE(item, nullptr);
    QTextDocument shown;
    shown.setHtml(item->toolTip(2));   // how a tooltip that looks like markup is drawn
    EXPECT_EQ(shown.toPlainText().toStdString(), longText);
}
