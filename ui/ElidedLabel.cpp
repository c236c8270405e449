#include "ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QResizeEvent>
#include <QStringList>
#include "PlainToolTip.h"

CElidedLabel::CElidedLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void CElidedLabel::SetFullText(const QString& text)
{
    m_full = text;
    Elide();
}

QSize CElidedLabel::minimumSizeHint() const
{
    // As narrow as an ellipsis; as tall as the lines it has.
    const QFontMetrics metrics(font());
    const auto lines = static_cast<int>(m_full.count(QLatin1Char('\n'))) + 1;
    return {metrics.horizontalAdvance(QStringLiteral("…")), metrics.height() * lines};
}

void CElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    Elide();
}

void CElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        Elide();
}

void CElidedLabel::Elide()
{
    const QFontMetrics metrics(font());
    const int width = contentsRect().width();
    QStringList lines = m_full.split(QLatin1Char('\n'));
    bool elided = false;
    for (QString& line : lines)
    {
        const QString cut = metrics.elidedText(line, Qt::ElideRight, width);
        elided = elided || cut != line;
        line = cut;
    }
    m_elided = elided;
    setText(lines.join(QLatin1Char('\n')));
    setToolTip(elided ? PlainToolTip(m_full) : QString());
}
