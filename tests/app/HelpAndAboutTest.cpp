#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>

#include "ui/AboutDialog.h"
#include "ui/HelpFile.h"

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
