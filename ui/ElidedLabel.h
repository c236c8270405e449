#pragma once

#include <QLabel>
#include <QString>

// A plain-text label for texts that can be longer than the room they get (relay names from
// the settings file, the status line): each line is cut with an ellipsis to the width
// there is, and the whole text is in the tooltip whenever something was cut. Names and
// texts from files or the unit are never read as markup.
class CElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CElidedLabel(QWidget* parent = nullptr);

    void SetFullText(const QString& text);
    const QString& FullText() const { return m_full; }
    bool IsElided() const { return m_elided; }

    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Elide();

    QString m_full;
    bool m_elided = false;
};
