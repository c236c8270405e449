#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QKeyEvent>
#include <QTimer>
#include <algorithm>

#include "tests/support/QtWait.h"
#include "ui/ProgressDialog.h"

TEST(ProgressDialog, ByDefaultShowsTheShutdownTextAndRunsTheBarByItself)
{
    CProgressDialog dialog;
    dialog.show();
    EXPECT_EQ(dialog.MessageText().toStdString(), "Shutting down device connection.  Please wait ...");
    EXPECT_EQ(dialog.BarMinimum(), 0);
    EXPECT_EQ(dialog.BarMaximum(), 100);
    EXPECT_TRUE(dialog.IsAdvancing());
    EXPECT_TRUE(WaitUntil([&] { return dialog.BarValue() >= 2; }));
    dialog.EndDialog(0);
}

TEST(ProgressDialog, TheSelfMovingBarWrapsFromOneHundredToZero)
{
    CProgressDialog dialog;
    dialog.show();
    int highest = 0;
    bool wrapped = false;
    // 101 steps of 50 ms; give it a little more than that.
    WaitUntil([&] {
        const int value = dialog.BarValue();
        wrapped = wrapped || (highest == 100 && value < highest);
        highest = std::max(highest, value);
        return wrapped;
    }, 8000);
    EXPECT_EQ(highest, 100);
    EXPECT_TRUE(wrapped);
    dialog.EndDialog(0);
}

TEST(ProgressDialog, AFirmwareDialogHasAStillBarMovedOnlyByProgress)
{
    CProgressDialog dialog;
    dialog.SetMessage(QStringLiteral("Updating firmware ...."));
    dialog.SetAutoAdvance(false);
    dialog.show();
    SpinEvents(120);
    EXPECT_EQ(dialog.MessageText().toStdString(), "Updating firmware ....");
    EXPECT_FALSE(dialog.IsAdvancing());
    EXPECT_EQ(dialog.BarValue(), 0);

    dialog.SetProgress(128, 256);
    EXPECT_EQ(dialog.BarMaximum(), 256);
    EXPECT_EQ(dialog.BarValue(), 128);
    dialog.EndDialog(0);
}

TEST(ProgressDialog, AShortLastBlockFillsTheBarAndAnEmptyFileLeavesItStill)
{
    CProgressDialog dialog;
    dialog.SetAutoAdvance(false);
    dialog.show();
    // A 200-byte file reports 256 of 200 after its second block.
    dialog.SetProgress(256, 200);
    EXPECT_EQ(dialog.BarMaximum(), 200);
    EXPECT_EQ(dialog.BarValue(), 200);
    // 0 of 0 must not turn the bar into a busy indicator (a range of 0..0).
    dialog.SetProgress(0, 0);
    EXPECT_GT(dialog.BarMaximum(), dialog.BarMinimum());
    EXPECT_EQ(dialog.BarValue(), 0);
    dialog.EndDialog(0);
}

TEST(ProgressDialog, NeitherTheTitleBarNorEscapeCloseIt)
{
    CProgressDialog dialog;
    dialog.show();
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(dialog.close());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&dialog, &escape);
    SpinEvents(20);
    EXPECT_TRUE(dialog.isVisible());
    dialog.EndDialog(0);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(ProgressDialog, ItsOwnerEndsTheModalRunWithResultZero)
{
    CProgressDialog dialog;
    QTimer::singleShot(30, &dialog, [&] { dialog.EndDialog(0); });
    EXPECT_EQ(dialog.exec(), 0);
    EXPECT_FALSE(dialog.IsAdvancing());
}
