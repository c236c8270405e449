#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// The windows need a QApplication; the offscreen platform lets them run without a display.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
