#include "QuillmereVisualManager.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <cmath>

#include "SvgPicture.h"

static void InitVisualResources()
{
    Q_INIT_RESOURCE(settings);
}

namespace
{
constexpr const char* kChevronDown = ":/settings/chevrons-down.svg";
constexpr const char* kChevronUp = ":/settings/chevrons-up.svg";

// The pictures are black on white with white as the transparent colour; drawn here on
// white and then keyed, so that they look the same as any bitmap of that kind.
QImage LoadChevron(const char* path, qreal ratio)
{
    QImage image = RenderSvgImage(QString::fromUtf8(path),
                                  QSize(CQuillmereVisualManager::kChevronWidth, CQuillmereVisualManager::kChevronHeight),
                                  ratio, Qt::white)
                       .convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
    {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
        {
            if (line[x] == qRgb(255, 255, 255))
                line[x] = qRgba(0, 0, 0, 0);
        }
    }
    return image;
}

QPainterPath RoundedRegion(const QRect& rect)
{
    QPainterPath path;
    const qreal radius = CQuillmereVisualManager::kCornerEllipse / 2.0;
    path.addRoundedRect(QRectF(rect), radius, radius);
    return path;
}
}

CQuillmereVisualManager& CQuillmereVisualManager::GetInstance()
{
    static CQuillmereVisualManager instance;
    return instance;
}

CQuillmereVisualManager::CQuillmereVisualManager()
{
    InitVisualResources();
}

CQuillmereVisualManager::~CQuillmereVisualManager() = default;

const QImage& CQuillmereVisualManager::GetChevron(bool collapsed, qreal ratio)
{
    // Kept from the first caption paint at each screen density for the life of the
    // manager: every caption paint needs one. QImage, not QPixmap, so the one instance may
    // outlive the application object.
    const int key = static_cast<int>(std::lround(ratio * 100));
    auto found = m_chevrons.find(key);
    if (found == m_chevrons.end())
        found = m_chevrons.emplace(key, std::make_pair(LoadChevron(kChevronDown, ratio), LoadChevron(kChevronUp, ratio)))
                    .first;
    return collapsed ? found->second.first : found->second.second;
}

void CQuillmereVisualManager::OnFillTasksPaneBackground(QPainter& painter, const QRect& workArea)
{
    painter.fillRect(workArea, QColor(kPanelBackground));
}

void CQuillmereVisualManager::OnDrawTasksGroupCaption(QPainter& painter, TasksGroup& group, bool highlighted,
                                                      bool /*selected*/, bool /*canCollapse*/)
{
    const QRect& caption = group.caption;
    // The clip belongs to this caption only; left selected it would cut into whatever the
    // panel paints next.
    painter.save();
    QRect region = caption;
    if (!group.collapsed)
        region.setBottom(caption.bottom() + kExpandedReach);
    painter.setClipPath(RoundedRegion(region), Qt::IntersectClip);

    // Vertical gradient in bands, lighter at the bottom.
    const int height = caption.height();
    const QColor top(kCaptionTop);
    const QColor bottom(kCaptionBottom);
    for (int band = 0; band < kGradientBands; ++band)
    {
        const int y0 = caption.top() + band * height / kGradientBands;
        const int y1 = caption.top() + (band + 1) * height / kGradientBands;
        if (y1 <= y0)
            continue;
        const double share = kGradientBands > 1 ? static_cast<double>(band) / (kGradientBands - 1) : 0.0;
        const QColor colour(top.red() + static_cast<int>((bottom.red() - top.red()) * share + 0.5),
                            top.green() + static_cast<int>((bottom.green() - top.green()) * share + 0.5),
                            top.blue() + static_cast<int>((bottom.blue() - top.blue()) * share + 0.5));
        painter.fillRect(QRect(caption.left(), y0, caption.width(), y1 - y0), colour);
    }

    group.textColor = QColor(kCaptionText);
    group.textColorHot = QColor(kCaptionTextHot);

    // Measured from the panel's left edge, not the caption's.
    int textStart = kTextStart;
    if (!group.icon.isNull())
    {
        group.icon.paint(&painter, QRect(caption.left() + 3, caption.top() + 1, kIconDrawSize, kIconDrawSize));
        textStart = kTextStart + group.iconSize.width() + 3;
    }

    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const QSize textSize = metrics.size(Qt::TextSingleLine, group.name);
    const QRect textRect(textStart, caption.top() + (height - textSize.height()) / 2, textSize.width(),
                         textSize.height());
    painter.setBackground(QColor(kCaptionTextBackground));
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setPen(highlighted ? group.textColorHot : group.textColor);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, group.name);

    painter.drawImage(QPoint(caption.right() + 1 - kChevronFromRight,
                             caption.top() + (height - kChevronHeight) / 2),
                      GetChevron(group.collapsed, painter.device()->devicePixelRatioF()));
    painter.restore();
}

void CQuillmereVisualManager::OnFillTasksGroupInterior(QPainter& painter, const QRect& interior, bool /*special*/)
{
    painter.save();
    // From the panel's origin, so only the interior's bottom corners come out rounded.
    painter.setClipPath(RoundedRegion(QRect(QPoint(0, 0), interior.bottomRight())), Qt::IntersectClip);
    painter.fillRect(interior, QPalette().color(QPalette::Active, QPalette::Base));
    painter.restore();
}

void CQuillmereVisualManager::OnDrawTasksGroupAreaBorder(QPainter& /*painter*/, const QRect& /*rect*/,
                                                         bool /*special*/, bool /*noTitle*/)
{
    // No border around a group: the white interior meets the dark panel directly.
}
