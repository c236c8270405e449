#include <QApplication>
#include <QFont>
#include <QScreen>
#include <cstdlib>
#include <gtest/gtest.h>

// The main() of every window test: the offscreen platform needs no display, and one
// QApplication serves every case of the executable. The font can be set from outside
// (QM_TEST_FONT_POINTS, QT_FONT_DPI) so that the same tests run at a larger font.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QFont font = QApplication::font();
    if (const char* points = std::getenv("QM_TEST_FONT_POINTS"); points != nullptr && std::atoi(points) > 0)
        font.setPointSize(std::atoi(points));
    // The offscreen screen keeps 96 DPI whatever QT_FONT_DPI says; a font of the same pixel
    // size stands in for the higher density.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (const char* dpi = std::getenv("QT_FONT_DPI"); dpi != nullptr && std::atoi(dpi) > 0 && screen != nullptr &&
                                                        screen->logicalDotsPerInch() != std::atoi(dpi))
        font.setPointSizeF(font.pointSizeF() * std::atoi(dpi) / screen->logicalDotsPerInch());
    QApplication::setFont(font);
    return RUN_ALL_TESTS();
}
