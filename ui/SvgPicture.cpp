#include "SvgPicture.h"

#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

QImage RenderSvgImage(const QString& path, const QSize& size, qreal ratio, const QColor& background)
{
    if (!(ratio > 0.0))
        ratio = 1.0;
    const QSize pixels(static_cast<int>(std::ceil(size.width() * ratio)), static_cast<int>(std::ceil(size.height() * ratio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    QSvgRenderer renderer(path);
    if (renderer.isValid())
    {
        QPainter painter(&image);
        renderer.render(&painter);
    }
    image.setDevicePixelRatio(ratio);
    return image;
}

QPixmap RenderSvgPixmap(const QString& path, const QSize& size, qreal ratio)
{
    return QPixmap::fromImage(RenderSvgImage(path, size, ratio));
}
