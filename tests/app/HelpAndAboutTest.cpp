#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTemporaryDir>

#include "SheetFixture.h"
#include "ui/AboutDialog.h"
#include "ui/HelpFile.h"
#include "ui/NetworkMonitorEditControl.h"

namespace
{
void Touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}
}

TEST(HelpFile, BesideTheExecutableComesFirstThenTheInstalledCopy)
{
    QTemporaryDir root;
    const QString bin = root.filePath("bin");
    const QString installed = root.filePath("share/quillmere-monitor/Quillmere_Help.html");
    QDir().mkpath(bin);

    // Neither exists: the name beside the executable, which then fails to open quietly.
    EXPECT_EQ(FindHelpFile(bin), QDir(bin).filePath("Quillmere_Help.html"));
    Touch(installed);
    EXPECT_EQ(FindHelpFile(bin), installed);
    Touch(QDir(bin).filePath("Quillmere_Help.html"));
    EXPECT_EQ(FindHelpFile(bin), QDir(bin).filePath("Quillmere_Help.html"));
}

TEST(HelpFile, TheShippedHelpCoversWhatOperatorsNeed)
{
    QFile file(QStringLiteral(QM_APP_TEST_SOURCE_DIR "/res/Quillmere_Help.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    for (const char* topic : {"ports/COM", "/dev/serial/by-id", "dialout", "net.ipv4.ping_group_range",
                              "cap_net_raw", "Update Firmware", "Export", "Quillmere.log", "Relay",
                              "systemctl enable --now quillmere-monitord", "quillmere-monitord --check"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(topic))) << topic;
}

// The help names each control as the window shows it: a rename on either side is caught here.
TEST_F(SheetTest, TheHelpNamesControlsAsTheWindowShowsThem)
{
    QFile file(QStringLiteral(QM_APP_TEST_SOURCE_DIR "/res/Quillmere_Help.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString help =
        QString::fromUtf8(file.readAll()).remove(QRegularExpression(QStringLiteral("<[^>]*>"))).simplified();

    CQuillmereSheet& sheet = StartSheet();
    for (int tab = 0; tab < TabsOf(sheet)->count(); ++tab)   // each page makes its controls when first shown
        TabsOf(sheet)->setCurrentIndex(tab);
    CNetworkMonitorEditControl editor;
    QStringList shown;
    for (const QWidget* root : {static_cast<const QWidget*>(&sheet), static_cast<const QWidget*>(&editor)})
    {
        for (const QLabel* label : root->findChildren<QLabel*>())
            shown << label->text();
        for (const QAbstractButton* button : root->findChildren<QAbstractButton*>())
            shown << button->text() << button->toolTip();
        for (const QAction* action : root->findChildren<QAction*>())
            shown << action->text().remove(QLatin1Char('&'));
        for (const QTabBar* bar : root->findChildren<QTabBar*>())
            for (int tab = 0; tab < bar->count(); ++tab)
                shown << bar->tabText(tab);
    }
    for (const QAction* action : TrayOf(sheet)->findChild<QSystemTrayIcon*>()->contextMenu()->actions())
        shown << action->text().remove(QLatin1Char('&'));
    for (const char* name : {"Serial Port", "Get Status", "Status Poll Interval", "Log level", "Cycle Options",
                             "Reset", "Power Cycle", "Export Log", "Add Network Monitor", "Event", "Ping",
                             "stop action after", "fail events", "wait", "Remove", "Update Firmware", "Exit", "Open",
                             "View Help", "About", "Settings"})
    {
        EXPECT_TRUE(help.contains(QString::fromLatin1(name))) << name;
        EXPECT_TRUE(shown.contains(QString::fromLatin1(name))) << name;
    }
}

TEST(AboutDialog, ShowsTheProgramNameVersionAndContactLines)
{
    CAboutDialog about;
    EXPECT_EQ(about.windowTitle(), "About");
    QStringList texts;
    for (const QLabel* label : about.findChildren<QLabel*>())
        texts << label->text();
    const QString all = texts.join('\n');
    EXPECT_TRUE(texts.contains("1.6.0"));
    EXPECT_TRUE(all.contains("Quillmere Monitor version"));
    EXPECT_TRUE(all.contains("Copyright"));
    EXPECT_TRUE(all.contains("Customer service"));
}
