#pragma once

#include <QDialog>
#include <QString>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QTimer;

// A small modal box with one line of text and a bar, and no way to close it by hand: only
// its owner ends it. By default the bar runs from 0 to 100 on its own, every 50 ms a step,
// while the link shuts down; the firmware transfer clears that and moves it by progress.
class CProgressDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr const char* DefaultMessage = "Shutting down device connection.  Please wait ...";
    static constexpr int AdvanceIntervalMs = 50;

    explicit CProgressDialog(QWidget* parent = nullptr);

    void SetMessage(const QString& message) { m_message = message; }
    void SetAutoAdvance(bool autoAdvance) { m_autoAdvance = autoAdvance; }

    // Bytes sent of the whole; the bar shows the share.
    void SetProgress(int position, int total);
    // The only way the dialog ends.
    void EndDialog(int result);

    QString MessageText() const;
    int BarMinimum() const;
    int BarMaximum() const;
    int BarValue() const;
    bool IsAdvancing() const;

    // Escape and the window manager's close ask for this; the dialog ignores it.
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Advance();

    QLabel* m_label;
    QProgressBar* m_bar;
    QTimer* m_timer;
    QString m_message;
    bool m_autoAdvance = true;
    bool m_initialised = false;
    bool m_ending = false;
};
