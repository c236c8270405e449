#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// What the main window asks of the desktop: questions, a file choice, opening a document
// and whether a notification area exists. Tests answer these without a person at hand.
class CDesktop
{
public:
    virtual ~CDesktop() = default;

    // True only when the operator chose Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon);
    // The chosen existing ".rom" file, or empty when the operator cancelled.
    virtual QString ChooseFirmwareFile(QWidget* parent);
    // Hands the file to the desktop's default viewer; false when no viewer took it.
    virtual bool OpenDocument(const QString& path);
    virtual void ShowMessage(QWidget* parent, const QString& caption, const QString& text);
    virtual bool HasSystemTray() const;
};
