#include <QImage>
#include <QPainter>
#include <QPalette>
#include <gtest/gtest.h>

#include "ui/QuillmereVisualManager.h"

namespace
{
constexpr QRgb kBackground = qRgb(53, 53, 53);
const QRect kCaption(4, 4, 240, 22);

bool IsOrange(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) > 120 && qGreen(pixel) < 200 && qBlue(pixel) < 110;
}

int Count(const QImage& image, const QRect& area, bool (*test)(QRgb))
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += test(image.pixel(x, y)) ? 1 : 0;
    return count;
}

bool IsNearWhite(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) > 200 && qBlue(pixel) > 200;
}

class VisualManagerTest : public ::testing::Test
{
protected:
    VisualManagerTest() : image(260, 120, QImage::Format_RGB32) { image.fill(kBackground); }

    CQuillmereVisualManager::TasksGroup Caption(bool collapsed, bool highlighted, const QString& name = "Relays")
    {
        CQuillmereVisualManager::TasksGroup group;
        group.name = name;
        group.caption = kCaption;
        group.collapsed = collapsed;
        QPainter painter(&image);
        manager.OnDrawTasksGroupCaption(painter, group, highlighted, false, true);
        return group;
    }

    int Count(const QRect& area, bool (*test)(QRgb)) const
    {
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                count += test(image.pixel(x, y)) ? 1 : 0;
        return count;
    }

    CQuillmereVisualManager manager;
    QImage image;
};
}

TEST_F(VisualManagerTest, ThePanelIsDarkGrey)
{
    image.fill(Qt::white);
    QPainter painter(&image);
    manager.OnFillTasksPaneBackground(painter, image.rect());
    painter.end();
    EXPECT_EQ(image.pixel(0, 0), kBackground);
    EXPECT_EQ(image.pixel(259, 119), kBackground);
}

TEST_F(VisualManagerTest, TheCaptionGradientRunsFromEightyTwoAtTheTopToNinetyTwoAtTheBottom)
{
    Caption(true, false, QString());
    const QRgb top = image.pixel(200, kCaption.top());
    const QRgb bottom = image.pixel(200, kCaption.bottom());
    EXPECT_EQ(qRed(top), 82);
    EXPECT_EQ(qRed(bottom), 92);
    EXPECT_EQ(qRed(top), qBlue(top));
    EXPECT_LT(qRed(image.pixel(200, kCaption.top() + 5)), qRed(image.pixel(200, kCaption.top() + 15)));
}

TEST_F(VisualManagerTest, ACollapsedCaptionIsRoundedAtAllFourCornersAnExpandedOneOnlyAtTheTop)
{
    Caption(true, false);
    EXPECT_EQ(image.pixel(kCaption.left(), kCaption.top()), kBackground);
    EXPECT_EQ(image.pixel(kCaption.left(), kCaption.bottom()), kBackground);
    EXPECT_EQ(image.pixel(kCaption.right(), kCaption.bottom()), kBackground);
    EXPECT_NE(image.pixel(kCaption.left() + 3, kCaption.bottom()), kBackground);

    image.fill(kBackground);
    Caption(false, false);
    EXPECT_EQ(image.pixel(kCaption.left(), kCaption.top()), kBackground);
    EXPECT_NE(image.pixel(kCaption.left(), kCaption.bottom()), kBackground);
    EXPECT_NE(image.pixel(kCaption.right(), kCaption.bottom()), kBackground);
    // Nothing is painted below the caption itself.
    EXPECT_EQ(image.pixel(kCaption.left() + 5, kCaption.bottom() + 3), kBackground);
}

TEST_F(VisualManagerTest, CaptionTextIsNearWhiteAndOrangeUnderTheMouse)
{
    const CQuillmereVisualManager::TasksGroup group = Caption(true, false);
    EXPECT_EQ(group.textColor, QColor(250, 250, 250));
    EXPECT_EQ(group.textColorHot, QColor(248, 164, 61));
    EXPECT_GT(Count(kCaption, IsNearWhite), 10);
    EXPECT_EQ(Count(kCaption, IsOrange), 0);

    image.fill(kBackground);
    Caption(true, true);
    EXPECT_GT(Count(kCaption, IsOrange), 10);
}

TEST_F(VisualManagerTest, CaptionTextStartsFourteenPixelsFromThePanelsLeftEdge)
{
    Caption(true, true, QStringLiteral("Network Monitors"));
    EXPECT_EQ(Count(QRect(0, kCaption.top(), 14, kCaption.height()), IsOrange), 0);
    EXPECT_GT(Count(QRect(14, kCaption.top(), 10, kCaption.height()), IsOrange), 0);
}

TEST_F(VisualManagerTest, TheChevronPointsDownWhenCollapsedAndUpWhenExpanded)
{
    const QImage& down = manager.GetChevron(true);
    const QImage& up = manager.GetChevron(false);
    ASSERT_EQ(down.size(), QSize(9, 10));
    EXPECT_NE(down, up);
    // White is transparent: the corners of the picture let the caption through.
    EXPECT_EQ(qAlpha(down.pixel(0, 9)), 0);
    EXPECT_EQ(qAlpha(up.pixel(0, 0)), 0);

    Caption(true, false, QString());
    const QRect chevron(kCaption.right() + 1 - 14, kCaption.top() + (kCaption.height() - 10) / 2, 9, 10);
    const auto dark = [](QRgb pixel) { return qRed(pixel) < 40; };
    EXPECT_GT(Count(chevron, dark), 5);
    // Collapsed: the tips point down, so the chevron's bottom middle is dark and its top
    // middle shows the caption.
    QImage collapsed = image.copy(chevron);
    image.fill(kBackground);
    Caption(false, false, QString());
    QImage expanded = image.copy(chevron);
    EXPECT_NE(collapsed, expanded);
    EXPECT_LT(qRed(collapsed.pixel(4, 3)), qRed(collapsed.pixel(4, 0)));
    EXPECT_LT(qRed(expanded.pixel(4, 6)), qRed(expanded.pixel(4, 9)));
}

TEST_F(VisualManagerTest, TheInteriorIsTheWindowColourWithoutABorder)
{
    const QRect interior(4, 30, 240, 60);
    QPainter painter(&image);
    manager.OnFillTasksGroupInterior(painter, interior, false);
    manager.OnDrawTasksGroupAreaBorder(painter, interior, false, false);
    painter.end();
    const QRgb window = QPalette().color(QPalette::Active, QPalette::Base).rgb();
    EXPECT_EQ(image.pixel(100, 60), window);
    EXPECT_EQ(image.pixel(interior.left(), 60), window);
    EXPECT_EQ(image.pixel(interior.right(), 60), window);
    EXPECT_EQ(image.pixel(100, interior.top()), window);
    EXPECT_EQ(image.pixel(100, interior.bottom()), window);
    // The rounding runs from the panel's origin, so of the interior's corners only the
    // bottom right one, away from the panel's edge, comes out rounded.
    EXPECT_EQ(image.pixel(interior.left(), interior.top()), window);
    EXPECT_EQ(image.pixel(interior.right(), interior.top()), window);
    EXPECT_EQ(image.pixel(interior.left(), interior.bottom()), window);
    EXPECT_EQ(image.pixel(interior.right(), interior.bottom()), kBackground);
    EXPECT_EQ(image.pixel(interior.left() - 1, 60), kBackground);
}

TEST_F(VisualManagerTest, HooksLeaveThePaintersClipAsTheyFoundIt)
{
    QPainter painter(&image);
    CQuillmereVisualManager::TasksGroup group;
    group.caption = kCaption;
    manager.OnDrawTasksGroupCaption(painter, group, false, false, true);
    EXPECT_FALSE(painter.hasClipping());
    manager.OnFillTasksGroupInterior(painter, QRect(4, 30, 100, 20), false);
    EXPECT_FALSE(painter.hasClipping());
}

#include <QCoreApplication>
#include <QMouseEvent>
#include <QScrollArea>

#include "ui/TasksPane.h"

TEST(TasksPaneLook, GroupPanelsPaintThroughTheVisualManager)
{
    CTasksPane pane;
    pane.resize(300, 200);
    const int relays = pane.AddGroup(QStringLiteral("Relays"));
    auto* row = new QWidget;
    row->setAutoFillBackground(true);
    QPalette white = row->palette();
    white.setColor(QPalette::Window, white.color(QPalette::Base));
    row->setPalette(white);
    pane.AddWindow(relays, row, 40);
    pane.show();
    QWidget* content = pane.widget();
    const QRect caption = pane.GetCaptionRect(relays);

    QImage look = content->grab().toImage();
    EXPECT_EQ(look.pixel(1, caption.center().y()), kBackground);      // left of the group
    EXPECT_EQ(qRed(look.pixel(caption.right() - 30, caption.top())), 82);
    // The gap between the caption and the first window is the white interior.
    const QRgb window = QPalette().color(QPalette::Active, QPalette::Base).rgb();
    EXPECT_EQ(look.pixel(caption.left() + 30, caption.bottom() + 2), window);
    int orange = 0;
    for (int x = caption.left(); x <= caption.right(); ++x)
        orange += IsOrange(look.pixel(x, caption.center().y())) ? 1 : 0;
    EXPECT_EQ(orange, 0);

    QMouseEvent move(QEvent::MouseMove, QPointF(caption.center()), content->mapToGlobal(QPointF(caption.center())),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(content, &move);
    look = content->grab().toImage();
    EXPECT_GT(Count(look, caption, IsOrange), 5);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(content, &leave);
    look = content->grab().toImage();
    EXPECT_EQ(Count(look, caption, IsOrange), 0);
}
