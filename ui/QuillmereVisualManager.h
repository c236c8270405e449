#pragma once

#include <map>
#include <utility>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>

class QPainter;

// The program's own look for the group panels of the status and settings pages: a dark grey
// panel, mid-grey captions rounded at the top (and at the bottom while collapsed), near-white
// caption text that turns orange under the mouse, white group interiors without a border and
// a double chevron at the right of each caption. One instance serves the whole program;
// every group panel paints through it.
class CQuillmereVisualManager
{
public:
    // What a caption hook needs to know of its group. The hook sets the text colours, as
    // the group keeps them for its later painting.
    struct TasksGroup
    {
        QString name;
        QRect caption;          // in the panel's coordinates
        bool collapsed = false;
        QIcon icon;             // none for the program's groups
        QSize iconSize;
        QColor textColor;
        QColor textColorHot;
    };

    static constexpr QRgb kPanelBackground = qRgb(53, 53, 53);
    static constexpr QRgb kCaptionBottom = qRgb(92, 92, 92);
    static constexpr QRgb kCaptionTop = qRgb(82, 82, 82);
    static constexpr QRgb kCaptionTextBackground = qRgb(85, 85, 85);
    static constexpr QRgb kCaptionText = qRgb(250, 250, 250);
    static constexpr QRgb kCaptionTextHot = qRgb(248, 164, 61);
    static constexpr int kGradientBands = 64;
    static constexpr int kCornerEllipse = 5;
    static constexpr int kExpandedReach = 10;   // how far an expanded caption's region goes below it
    static constexpr int kTextStart = 14;
    static constexpr int kIconDrawSize = 23;
    static constexpr int kChevronWidth = 9;
    static constexpr int kChevronHeight = 10;
    static constexpr int kChevronFromRight = 14;

    // The program's one visual manager, made at first use.
    static CQuillmereVisualManager& GetInstance();

    CQuillmereVisualManager();
    virtual ~CQuillmereVisualManager();
    CQuillmereVisualManager(const CQuillmereVisualManager&) = delete;
    CQuillmereVisualManager& operator=(const CQuillmereVisualManager&) = delete;

    virtual void OnFillTasksPaneBackground(QPainter& painter, const QRect& workArea);
    virtual void OnDrawTasksGroupCaption(QPainter& painter, TasksGroup& group, bool highlighted, bool selected,
                                         bool canCollapse);
    virtual void OnFillTasksGroupInterior(QPainter& painter, const QRect& interior, bool special);
    virtual void OnDrawTasksGroupAreaBorder(QPainter& painter, const QRect& rect, bool special, bool noTitle);

    // The chevron pictures as drawn for a screen density, white already made transparent.
    const QImage& GetChevron(bool collapsed, qreal ratio = 1.0);

private:
    std::map<int, std::pair<QImage, QImage>> m_chevrons;   // per ratio x 100: down, up
};
