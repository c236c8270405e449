#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class CElidedLabel;

// The strip at the bottom of the main window: a 24 x 24 icon and the last notification.
// It starts with the success icon and "Successfull"; an error stays until the next one. A
// line too long for the window ends in an ellipsis, and the whole text is in its tooltip.
class CStatusLine : public QWidget
{
    Q_OBJECT
public:
    static constexpr int IconSize = 24;
    static constexpr const char* SuccessText = "Successfull";

    explicit CStatusLine(QWidget* parent = nullptr);

    void ShowError(const QString& text);
    void ShowSuccess(const QString& text);   // back to the success icon, with news worth seeing

    QString Text() const;
    bool ShowsError() const { return m_showsError; }

private:
    QLabel* m_icon;
    CElidedLabel* m_text;
    bool m_showsError = false;
};
