#include "SignualStatic.h"

#include <QPaintEvent>
#include <QPainter>

CSignualStatic::CSignualStatic(QWidget* parent) : QWidget(parent)
{
    // The gauge keeps its box whole: a shorter widget would clip the short bars first,
    // which are the ones that matter most when the signal is weak.
    setMinimumSize(kBoxWidth, kBoxHeight);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void CSignualStatic::SetValue(std::int32_t dbm)
{
    m_value = dbm;
    update();
}

QRect CSignualStatic::BarRect(int bar)
{
    constexpr int right = kBoxWidth;
    constexpr int bottom = kBoxHeight;
    constexpr int step = kBoxWidth / kBarCount;
    constexpr int rise = kBoxHeight / kBarCount;
    // Bars are placed from the right edge; the first starts at the box's left whatever
    // the integer division leaves over, and each ends two pixels before the next starts.
    auto left = [&](int n) { return n == 0 ? 0 : right - (kBarCount - n) * step; };
    const int barRight = bar == kBarCount - 1 ? right : left(bar + 1) - kBarGap;
    const int top = bar == kBarCount - 1 ? 0 : bottom - (bar + 1) * rise;
    return QRect(QPoint(left(bar), top), QPoint(barRight - 1, bottom - 1));
}

QSize CSignualStatic::sizeHint() const
{
    return QSize(kBoxWidth, kBoxHeight);
}

QSize CSignualStatic::minimumSizeHint() const
{
    return QSize(kBoxWidth, kBoxHeight);
}

void CSignualStatic::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setClipRect(rect());
    // Disabling repaints (QWidget::changeEvent), so a greyed page greys its gauge too.
    const QColor& lit = isEnabled() ? kLitColour : kGreyedColour;
    for (int bar = 0; bar < kBarCount; ++bar)
        painter.fillRect(BarRect(bar), m_value >= kThresholds[bar] ? lit : kUnlitColour);
}
