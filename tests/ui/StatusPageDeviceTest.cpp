#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <thread>

#include "UiTestSupport.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "link/QMNetLink.h"
#include "ui/QuillmereStatus.h"
#include "tests/support/DevSimProcess.h"

// The whole road from the simulated unit to the page's labels: the unit answers the first
// poll, the link worker decodes into the model, and the page shows what the unit reported.
TEST(StatusPageWithUnit, ShowsEveryValueTheUnitReported)
{
    EngineFixture engine;
    ASSERT_TRUE(CreateDirectoryTree(JoinPath(GetDataFolder(), "ports")));
    DevSimProcess unit({"--data-folder", GetDataFolder(), "--com", "7"}, 60);
    ASSERT_TRUE(unit.Started()) << unit.Error();
    for (const char* line : {"firmware 2.4.11", "iccid 89445001021983048267", "gsm on", "rssi 31", "door open",
                             "radio 2g", "uptime 3661", "clock 2030-06-15 08:30"})
        ASSERT_TRUE(unit.Command(line)) << line;

    CQMNetLink link;
    engine.manager.SetLinkEngine(&link);
    engine.manager.SetLinkTiming({3, 20, 300});
    engine.settings.SetComPort(7);
    CQuillmereStatus page;
    page.SetManager(&engine.manager);
    page.show();

    engine.manager.Connect();
    engine.manager.StartPolling();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (LabelText(page, "doorField") != "Open" && std::chrono::steady_clock::now() < deadline)
    {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The answers arrive in the reverse order of queuing; the door answer comes last.
    QApplication::processEvents();
    engine.manager.Stop();
    engine.manager.WaitForThreads();
    QApplication::processEvents();

    EXPECT_EQ(LabelText(page, "doorField"), "Open");
    EXPECT_EQ(LabelText(page, "firmwareField"), "2.4.11");
    EXPECT_EQ(LabelText(page, "iccidField"), "89445001021983048267");
    EXPECT_EQ(LabelText(page, "gsmField"), "Active");
    EXPECT_EQ(LabelText(page, "rssiField"), "-51 dBm");
    EXPECT_EQ(LabelText(page, "radioTypeField"), "2G");
    // The unit's uptime and clock keep running between the set and the answer.
    EXPECT_TRUE(LabelText(page, "uptimeField").startsWith("1 hours 1 minutes "))
        << LabelText(page, "uptimeField").toStdString();
    EXPECT_NE(LabelText(page, "dateTimeField"), "Not Available");
    EXPECT_TRUE(LabelText(page, "dateTimeField").contains(":30:")) << LabelText(page, "dateTimeField").toStdString();
    page.hide();
}
