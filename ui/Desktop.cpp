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

void CDesktop::OpenDocument(const QString& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool CDesktop::HasSystemTray() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}
