#pragma once

#include <QSpinBox>
#include <QString>

// A digits-only number field with up-down buttons, as the settings editors use it. Any run of
// digits may be typed, but the position (value()) moves only to numbers inside the range: a
// field holding 0, 75 or nothing keeps the last value that was in range. TextEdited is raised
// at every change of the text by the operator, typed or stepped, so that an editor can apply
// the position each time even when it stayed the same. Setting the value from code raises
// nothing: the spin box writes its own text with the edit's signals blocked.
class CSpinEdit : public QSpinBox
{
    Q_OBJECT
public:
    explicit CSpinEdit(QWidget* parent = nullptr);

    // The text as shown, which may differ from the position while the operator types.
    QString GetText() const;

    // The buttons, the arrow keys and the wheel step through here.
    void stepBy(int steps) override;

signals:
    void TextEdited();

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};
