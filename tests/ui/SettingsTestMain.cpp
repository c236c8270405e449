#include <QApplication>
#include <gtest/gtest.h>

// The settings windows are tested on the offscreen platform: no display is needed, and one
// QApplication serves every case.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
