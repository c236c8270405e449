#include "StatusLine.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>

#include "ElidedLabel.h"
#include "SvgPicture.h"

namespace
{
QPixmap StatusPixmap(const char* resource, const QWidget* widget)
{
    return RenderSvgPixmap(QString::fromLatin1(resource), QSize(CStatusLine::IconSize, CStatusLine::IconSize),
                           widget->devicePixelRatioF());
}
}

CStatusLine::CStatusLine(QWidget* parent) : QWidget(parent), m_icon(new QLabel(this)), m_text(new CElidedLabel(this))
{
    m_icon->setFixedSize(IconSize, IconSize);
    m_icon->setPixmap(StatusPixmap(":/icons/status-ok.svg", this));
    m_text->setObjectName(QStringLiteral("statusText"));
    m_text->SetFullText(QString::fromLatin1(SuccessText));
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 2, 5, 2);
    layout->setSpacing(6);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
}

void CStatusLine::ShowError(const QString& text)
{
    m_text->SetFullText(text);
    m_icon->setPixmap(StatusPixmap(":/icons/status-error.svg", this));
    m_showsError = true;
}

void CStatusLine::ShowSuccess(const QString& text)
{
    m_text->SetFullText(text);
    m_icon->setPixmap(StatusPixmap(":/icons/status-ok.svg", this));
    m_showsError = false;
}

QString CStatusLine::Text() const
{
    return m_text->FullText();
}
