#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <clocale>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "UiTestSupport.h"
#include "config/RelaySetting.h"
#include "log/Log.h"
#include "netmon/NetworkMonitor.h"
#include "tests/support/QtWait.h"
#include "ui/AboutDialog.h"
#include "ui/ElidedLabel.h"
#include "ui/ProgressDialog.h"
#include "ui/QuillmereSheet.h"
#include "ui/TasksPane.h"

// Every label, button, list and field of the pages and dialogs has the room its text needs at
// the font in use: a label's text is not cut, a button's or list's size hint (text plus the
// style's frame) fits in the size it was given, and a full date and time fits its column.
// ctest runs this at the default font, at 144 DPI and at a 12-point font.
namespace
{
class Walk
{
public:
    void Check(QWidget& root, const std::string& where)
    {
        for (QWidget* widget : root.findChildren<QWidget*>())
        {
            if (!widget->isVisibleTo(&root) || widget->width() <= 0)
                continue;
            if (auto* label = qobject_cast<QLabel*>(widget))
                CheckLabel(*label, where);
            else if (auto* button = qobject_cast<QPushButton*>(widget))
                CheckHint(*button, where + " button \"" + button->text().toStdString() + "\"");
            else if (auto* list = qobject_cast<QComboBox*>(widget))
                CheckHint(*list, where + " list " + list->objectName().toStdString());
            else if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget))
                CheckHint(*spin, where + " number " + spin->objectName().toStdString());
            else if (auto* edit = qobject_cast<QLineEdit*>(widget); edit != nullptr && !edit->parentWidget()->inherits("QAbstractSpinBox"))
                CheckHeight(*edit, edit->sizeHint().height(), where + " field " + edit->objectName().toStdString());
        }
    }

    void CheckColumn(const QTreeWidget& list, int column, const QString& text, const std::string& where)
    {
        // The cell's margins as the style draws them, and the header's.
        const int need = list.fontMetrics().horizontalAdvance(text) + 2 * list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 2;
        ++checked;
        if (need > list.columnWidth(column))
            faults << where << ": column " << column << " \"" << text.toStdString() << "\" needs " << need
                   << " px, has " << list.columnWidth(column) << "\n";
    }

    int checked = 0;
    std::ostringstream faults;

private:
    void CheckLabel(const QLabel& label, const std::string& where)
    {
        // Elided labels cut on purpose and carry the whole text in their tooltip; wrapped
        // ones break their lines; pictures have no text.
        if (qobject_cast<const CElidedLabel*>(&label) != nullptr || label.wordWrap() || label.text().isEmpty() ||
            !label.pixmap().isNull())
            return;
        ++checked;
        const QFontMetrics metrics(label.font());
        const QStringList lines = label.text().split(QLatin1Char('\n'));
        for (const QString& line : lines)
        {
            const int need = metrics.horizontalAdvance(line);
            if (need > label.contentsRect().width())
                faults << where << ": label \"" << line.toStdString() << "\" needs " << need << " px, has "
                       << label.contentsRect().width() << "\n";
        }
        CheckHeight(label, metrics.height() * static_cast<int>(lines.size()) - 1, where + " label \"" + label.text().toStdString() + "\"");
    }

    void CheckHint(const QWidget& widget, const std::string& what)
    {
        ++checked;
        const QSize need = widget.minimumSizeHint().expandedTo(QSize(widget.sizeHint().width(), 0));
        if (need.width() > widget.width())
            faults << what << ": needs " << need.width() << " px across, has " << widget.width() << "\n";
        CheckHeight(widget, widget.minimumSizeHint().height(), what);
    }

    void CheckHeight(const QWidget& widget, int need, const std::string& what)
    {
        if (need > widget.height())
            faults << what << ": needs " << need << " px down, has " << widget.height() << "\n";
    }
};

QString DateTimeIn(const char* locale)
{
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, locale) == nullptr)
        return {};
    std::tm moment{};
    moment.tm_year = 2026 - 1900;
    moment.tm_mon = 11;
    moment.tm_mday = 28;
    moment.tm_hour = 22;
    moment.tm_min = 58;
    moment.tm_sec = 58;
    char text[128] = {};
    std::strftime(text, sizeof text, "%x %X", &moment);
    std::setlocale(LC_ALL, previous.c_str());
    return QString::fromLocal8Bit(text);
}

class TextFit : public ::testing::Test
{
protected:
    TextFit()
    {
        engine.manager.SetLog(&log);
        log.Open();
        // Long texts where texts can be long; the defaults elsewhere.
        engine.settings.GetRelaySettings()[1]->SetName("Aux. Power Control");
        engine.settings.GetNetworkMonitors()[0]->SetAction(MonitorActionCyclePowerEvery);
    }
    ~TextFit() override { engine.manager.SetLog(nullptr); }

    void ShowTab(CQuillmereSheet& sheet, int index)
    {
        sheet.findChild<QTabWidget*>()->setCurrentIndex(index);
        SpinEvents(20);
    }

    EngineFixture engine;
    CLog log;
    Walk walk;
};
}

TEST_F(TextFit, EveryPageAndDialogGivesItsTextsTheRoomTheyNeed)
{
    CQuillmereSheet sheet(&engine.manager, QString::fromLatin1(CQuillmereSheet::Caption));
    OnWorkerThread([&] {
        engine.Status().SetDateTime(1798498738);
        engine.Status().SetIccid("89445001021983048267");
        engine.Status().SetFirmware(12, 34, 5678);
        engine.Status().SetUptime(359999);
        engine.Status().SetRssi(-113);
        engine.Status().SetRadioType(1);
    });
    sheet.show();
    SpinEvents(20);
    ShowTab(sheet, 0);
    walk.Check(sheet, "Status page");

    log.Write(LogEntryLevel::Event, "Relay 2 (Aux. Power Control) switched off by operator");
    ShowTab(sheet, 1);
    walk.Check(sheet, "Log page");
    auto* list = sheet.findChild<QTreeWidget*>(QStringLiteral("logList"));
    ASSERT_NE(list, nullptr);
    for (const char* locale : {"C", "en_US.UTF-8"})
    {
        if (const QString text = DateTimeIn(locale); !text.isEmpty())
            walk.CheckColumn(*list, 0, text, std::string("Log page, ") + locale);
    }
    // en_US's own form, whether or not that locale is installed here.
    walk.CheckColumn(*list, 0, QStringLiteral("12/28/2026 10:58:58 PM"), "Log page, en_US");
    walk.CheckColumn(*list, 1, QStringLiteral("Error"), "Log page");
    for (int column = 0; column < 3; ++column)
        walk.CheckColumn(*list, column, list->headerItem()->text(column), "Log page heading");

    ShowTab(sheet, 2);
    CTasksPane* pane = Pane(*sheet.findChild<QTabWidget*>()->widget(2));
    ASSERT_NE(pane, nullptr);
    pane->SetGroupCollapsed(kMonitorGroup, false);
    SpinEvents(20);
    walk.Check(sheet, "Settings page");
    ASSERT_FALSE(MonitorEditors(*sheet.findChild<QTabWidget*>()->widget(2)).empty());
    for (CNetworkMonitorEditControl* editor : MonitorEditors(*sheet.findChild<QTabWidget*>()->widget(2)))
        walk.Check(*editor, "Monitor editor");

    CAboutDialog about;
    about.show();
    SpinEvents(20);
    walk.Check(about, "About box");
    CProgressDialog wait;
    wait.show();
    SpinEvents(20);
    walk.Check(wait, "Wait dialog");
    wait.EndDialog(0);

    EXPECT_GT(walk.checked, 60);
    EXPECT_TRUE(walk.faults.str().empty()) << "font " << QApplication::font().toString().toStdString() << ", line "
                                           << QFontMetrics(QApplication::font()).height() << " px\n"
                                           << walk.faults.str();
}
