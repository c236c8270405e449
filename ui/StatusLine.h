#pragma once

#include <QString>
#include <QWidget>

class QLabel;

// The strip at the bottom of the main window: a 24 x 24 icon and the last notification.
// It starts with the success icon and "Successfull"; an error stays until the next one.
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
    QLabel* m_text;
    bool m_showsError = false;
};
