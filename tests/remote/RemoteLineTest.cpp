#include <gtest/gtest.h>

#include <QLabel>

#include "remote/RemoteStatusLine.h"
#include "tests/support/QtWait.h"
#include "ui/QuillmereStatus.h"

// The Status page's broker line: absent without a bridge, and following the bridge's state.
namespace
{
QLabel* RemoteLabel(const CQuillmereStatus& page)
{
    return page.findChild<QLabel*>(QStringLiteral("remoteField"));
}
}

TEST(StatusPageRemoteLine, IsHiddenWithoutABridge)
{
    RemoteStatusLine::Set({});
    CQuillmereStatus page;
    ASSERT_NE(RemoteLabel(page), nullptr);
    EXPECT_TRUE(RemoteLabel(page)->isHidden());
}

TEST(StatusPageRemoteLine, FollowsTheConnection)
{
    RemoteStatusLine::Set("Remote: offline (connecting)");
    CQuillmereStatus page;
    page.show();
    EXPECT_FALSE(RemoteLabel(page)->isHidden());
    EXPECT_EQ(RemoteLabel(page)->text(), QStringLiteral("Remote: offline (connecting)"));

    RemoteStatusLine::Set("Remote: connected to 127.0.0.1:1883");
    EXPECT_TRUE(WaitUntil(
        [&] { return RemoteLabel(page)->text() == QStringLiteral("Remote: connected to 127.0.0.1:1883"); }, 5000));
    RemoteStatusLine::Set({});
}
