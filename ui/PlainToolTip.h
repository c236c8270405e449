#pragma once

#include <QString>
#include <QTextDocument>

// A tooltip that shows its text as it stands. Qt draws a tooltip as markup whenever the text
// looks like markup, so a relay or host named "<b>lobby</b>" would come out bold or not at
// all; as an escaped paragraph it reads exactly as typed. Empty stays empty: no tooltip.
inline QString PlainToolTip(const QString& text)
{
    if (text.isEmpty())
        return {};
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}
