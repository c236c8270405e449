#include "SpinEdit.h"

#include <QLineEdit>

namespace
{
// More digits than any range of these fields needs; longer input cannot be in range and is
// never converted, so it cannot overflow.
constexpr int kMaxDigits = 9;
}

CSpinEdit::CSpinEdit(QWidget* parent) : QSpinBox(parent)
{
    setKeyboardTracking(true);
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setAlignment(Qt::AlignLeft);
    // The spin box's own handler runs first, so the position is current when this fires.
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { emit TextEdited(); });
}

QString CSpinEdit::GetText() const
{
    return lineEdit()->text();
}

void CSpinEdit::stepBy(int steps)
{
    const QString before = lineEdit()->text();
    QSpinBox::stepBy(steps);
    if (lineEdit()->text() != before)
        emit TextEdited();
}

QValidator::State CSpinEdit::validate(QString& input, int& /*pos*/) const
{
    if (input.isEmpty())
        return QValidator::Intermediate;
    for (const QChar c : input)
    {
        if (!c.isDigit() || c.unicode() > '9')
            return QValidator::Invalid;
    }
    if (input.size() > kMaxDigits)
        return QValidator::Intermediate;
    const int number = input.toInt();
    return number >= minimum() && number <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

void CSpinEdit::fixup(QString& input) const
{
    // What the operator left out of range goes back to the position when the field is left.
    input = QString::number(value());
}
