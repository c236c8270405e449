#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QString>

// An SVG picture drawn for the screen it is shown on: size is in device-independent pixels,
// and the image holds size x ratio real pixels, so at 144 DPI or a 2x scale it is sharp
// instead of a 1x bitmap blown up. The background fills the image first.
QImage RenderSvgImage(const QString& path, const QSize& size, qreal ratio, const QColor& background = Qt::transparent);
QPixmap RenderSvgPixmap(const QString& path, const QSize& size, qreal ratio);
