#include <gtest/gtest.h>

#include <QImage>

#include "UiTestSupport.h"
#include "ui/SignualStatic.h"

namespace
{
// The five bars on screen, shortest first: columns [left, right) and rows [top, 20).
struct Bar
{
    int left;
    int right;
    int top;
};
constexpr Bar kBars[] = {{0, 11, 16}, {13, 24, 12}, {26, 37, 8}, {39, 50, 4}, {52, 65, 0}};
constexpr int kBottom = 20;

enum class BarLook
{
    Green,
    Grey,
    Mixed
};

BarLook LookOf(const QImage& image, const Bar& bar)
{
    int green = 0;
    int grey = 0;
    int all = 0;
    for (int y = bar.top; y < kBottom; ++y)
    {
        for (int x = bar.left; x < bar.right; ++x)
        {
            const QRgb pixel = image.pixel(x, y);
            green += IsBarGreen(pixel) ? 1 : 0;
            grey += IsBarGrey(pixel) ? 1 : 0;
            ++all;
        }
    }
    if (green == all)
        return BarLook::Green;
    if (grey == all)
        return BarLook::Grey;
    return BarLook::Mixed;
}

QImage Render(std::int32_t dbm)
{
    CSignualStatic gauge;
    gauge.resize(81, 20);
    gauge.SetValue(dbm);
    return gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

struct GaugeCase
{
    std::int32_t dbm;
    int litBars;
};

class SignalGauge : public ::testing::TestWithParam<GaugeCase>
{
};
}

TEST_P(SignalGauge, LightsBarsFromTheShortestUpToTheStrength)
{
    const QImage image = Render(GetParam().dbm);
    ASSERT_GE(image.width(), 65);
    ASSERT_GE(image.height(), kBottom);
    for (int n = 0; n < 5; ++n)
    {
        const BarLook expected = n < GetParam().litBars ? BarLook::Green : BarLook::Grey;
        EXPECT_EQ(LookOf(image, kBars[n]), expected) << "bar " << n + 1 << " at " << GetParam().dbm << " dBm";
    }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, SignalGauge,
                         ::testing::Values(GaugeCase{-1000, 0}, GaugeCase{-2000, 0}, GaugeCase{-999, 0},
                                           GaugeCase{-111, 0}, GaugeCase{-110, 1}, GaugeCase{-106, 1},
                                           GaugeCase{-105, 2}, GaugeCase{-96, 2}, GaugeCase{-95, 3},
                                           GaugeCase{-84, 3}, GaugeCase{-83, 4}, GaugeCase{-76, 4},
                                           GaugeCase{-75, 5}, GaugeCase{-51, 5}, GaugeCase{99, 5}));

TEST(SignalGaugeShape, LeavesGapsAndTheAreaAboveTheBarsToTheBackground)
{
    const QImage image = Render(99);
    for (const Bar& bar : kBars)
    {
        if (bar.top > 0)
        {
            const QRgb above = image.pixel(bar.left, bar.top - 1);
            EXPECT_FALSE(IsBarGreen(above) || IsBarGrey(above)) << "above the bar at " << bar.left;
        }
        if (bar.right < 65)
        {
            for (int x = bar.right; x < bar.right + 2; ++x)
            {
                const QRgb gap = image.pixel(x, kBottom - 1);
                EXPECT_FALSE(IsBarGreen(gap) || IsBarGrey(gap)) << "gap column " << x;
            }
        }
    }
    // Nothing is drawn right of the 65-pixel box or below its 20 rows.
    const QRgb right = image.pixel(65, kBottom - 1);
    EXPECT_FALSE(IsBarGreen(right) || IsBarGrey(right));
}

TEST(SignalGaugeShape, NeverShrinksBelowItsBoxSoTheShortBarsStayVisible)
{
    CSignualStatic gauge;
    EXPECT_GE(gauge.minimumSizeHint().width(), 65);
    EXPECT_GE(gauge.minimumSizeHint().height(), 20);
    gauge.resize(30, 8);
    EXPECT_GE(gauge.width(), 65);
    EXPECT_GE(gauge.height(), 20);
}

// A greyed Status page greys its gauge: the bars the last answer lit stay apart from the unlit
// ones, but none is green.
TEST(SignalGaugeShape, ADisabledGaugeShowsItsBarsWithoutGreen)
{
    CSignualStatic gauge;
    gauge.resize(81, 20);
    gauge.SetValue(99);
    gauge.setEnabled(false);
    const QImage image = gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (const Bar& bar : kBars)
    {
        EXPECT_NE(LookOf(image, bar), BarLook::Green) << "bar at " << bar.left;
        EXPECT_NE(LookOf(image, bar), BarLook::Grey) << "bar at " << bar.left;
    }
}
