#include "Desktop.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QSystemTrayIcon>
#include <QUrl>

namespace
{
constexpr const char* kFirmwareFilter = "Firmware File (*.rom)";
}

bool CDesktop::AskYesNo(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

QString CDesktop::ChooseFirmwareFile(QWidget* parent)
{
    QFileDialog dialog(parent, QString(), QString(), QString::fromLatin1(kFirmwareFilter));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(QStringLiteral("rom"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool CDesktop::OpenDocument(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void CDesktop::ShowMessage(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);   // a path may hold anything
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

bool CDesktop::HasSystemTray() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}
