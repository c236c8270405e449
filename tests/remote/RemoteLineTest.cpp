#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>
#include <thread>

#include "device/QuillmereManager.h"
#include "tests/support/QtWait.h"
#include "ui/QuillmereStatus.h"

// The Status page's broker line: absent without a bridge, following the line the bridge gives
// the manager, and never looked at on a timer.
namespace
{
QLabel* RemoteLabel(const CQuillmereStatus& page)
{
    return page.findChild<QLabel*>(QStringLiteral("remoteField"));
}
}

TEST(StatusPageRemoteLine, IsHiddenWithoutABridgeAndFollowsTheConnectionWithoutATimer)
{
    CQuillmereManager manager;
    CQuillmereStatus page;
    page.SetManager(&manager);
    page.show();
    ASSERT_NE(RemoteLabel(page), nullptr);
    EXPECT_TRUE(RemoteLabel(page)->isHidden());
    EXPECT_TRUE(page.findChildren<QTimer*>().isEmpty());

    manager.SetRemoteLine("Remote: offline (connecting)");
    EXPECT_TRUE(WaitUntil(
        [&] { return RemoteLabel(page)->text() == QStringLiteral("Remote: offline (connecting)"); }, 5000));
    EXPECT_FALSE(RemoteLabel(page)->isHidden());

    // From another thread, as the bridge's own thread gives it.
    std::thread([&] { manager.SetRemoteLine("Remote: connected to 127.0.0.1:1883"); }).join();
    EXPECT_TRUE(WaitUntil(
        [&] { return RemoteLabel(page)->text() == QStringLiteral("Remote: connected to 127.0.0.1:1883"); }, 5000));

    manager.SetRemoteLine({});
    EXPECT_TRUE(WaitUntil([&] { return RemoteLabel(page)->isHidden(); }, 5000));
}

TEST(StatusPageRemoteLine, APageMadeLaterShowsTheLineAlreadyThere)
{
    CQuillmereManager manager;
    manager.SetRemoteLine("Remote: offline (mqtt.conf line 3: unknown key \"command\")");
    CQuillmereStatus page;
    page.SetManager(&manager);
    EXPECT_EQ(RemoteLabel(page)->text(), QStringLiteral("Remote: offline (mqtt.conf line 3: unknown key \"command\")"));
}
