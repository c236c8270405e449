#include <QApplication>
#include <QFont>
#include <cstdlib>
#include <gtest/gtest.h>

// The main() of every window test: the offscreen platform needs no display, and one
// QApplication serves every case of the executable. The font can be set from outside
// (QM_TEST_FONT_POINTS) so that the same tests run at a larger font.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (const char* points = std::getenv("QM_TEST_FONT_POINTS"))
    {
        QFont font = QApplication::font();
        font.setPointSize(std::atoi(points) > 0 ? std::atoi(points) : font.pointSize());
        QApplication::setFont(font);
    }
    return RUN_ALL_TESTS();
}
