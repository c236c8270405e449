#include "FontUnits.h"

#include <QFontMetricsF>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace
{
// The average width of the Latin letters, the same sample the dialog units are taken from.
qreal AverageCharWidth(const QFont& font)
{
    static const QString kSample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return QFontMetricsF(font).horizontalAdvance(kSample) / kSample.size();
}

int Scale(int pixels, qreal actual, int base)
{
    const auto scaled = static_cast<int>(std::lround(pixels * actual / base));
    return std::max(pixels, scaled);
}
}

int FontUnits::Across(const QFont& font, int pixels)
{
    return Scale(pixels, AverageCharWidth(font), kBaseCharWidth);
}

int FontUnits::Down(const QFont& font, int pixels)
{
    return Scale(pixels, QFontMetricsF(font).height(), kBaseLineHeight);
}

int FontUnits::Across(const QWidget* widget, int pixels)
{
    return widget != nullptr ? Across(widget->font(), pixels) : pixels;
}

int FontUnits::Down(const QWidget* widget, int pixels)
{
    return widget != nullptr ? Down(widget->font(), pixels) : pixels;
}
