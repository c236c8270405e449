#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTabWidget>
#include <memory>
#include <vector>

#include "config/AppSettings.h"
#include "device/QuillmereManager.h"
#include "tests/support/ManualTimerService.h"
#include "tests/support/TempDataFolder.h"
#include "ui/Desktop.h"
#include "ui/QuillmereSheet.h"
#include "ui/StatusLine.h"
#include "ui/TrayIcon.h"

// Answers the main window's questions the way a test says, and remembers what was asked.
class ScriptedDesktop : public CDesktop
{
public:
    bool AskYesNo(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon) override
    {
        Questions.push_back(caption + QStringLiteral("|") + text);
        Icons.push_back(icon);
        if (UseRealBoxes)
            return CDesktop::AskYesNo(parent, caption, text, icon);
        return Answer;
    }
    QString ChooseFirmwareFile(QWidget*) override
    {
        ++FileChoices;
        return FirmwarePath;
    }
    bool OpenDocument(const QString& path) override
    {
        Opened.push_back(path);
        return ViewerPresent;
    }
    void ShowMessage(QWidget*, const QString&, const QString& text) override { Messages.push_back(text); }
    bool HasSystemTray() const override { return Tray; }

    bool Answer = false;
    bool UseRealBoxes = false;
    bool Tray = true;
    QString FirmwarePath;
    int FileChoices = 0;
    std::vector<QString> Questions;
    std::vector<QMessageBox::Icon> Icons;
    std::vector<QString> Opened;
    std::vector<QString> Messages;
    bool ViewerPresent = true;
};

// The main window's parts, found as children.
inline QTabWidget* TabsOf(const QWidget& sheet)
{
    return sheet.findChild<QTabWidget*>();
}

inline CStatusLine* StatusLineOf(const QWidget& sheet)
{
    return sheet.findChild<CStatusLine*>();
}

inline CTrayIcon* TrayOf(const QWidget& sheet)
{
    return sheet.findChild<CTrayIcon*>();
}

// A manager with settings but no link, on a hand-driven clock, and no network monitors,
// so nothing here can reach a device or a host.
class SheetTest : public ::testing::Test
{
protected:
    SheetTest()
    {
        m_settings.LoadFromText("<Settings><NetworkMonitors></NetworkMonitors></Settings>");
        m_manager.SetTimerService(&m_timers);
        m_manager.SetSettings(&m_settings);
        m_manager.SetMemoryReader([] { return std::optional<std::uint64_t>(1024); });
    }

    CQuillmereSheet& MakeSheet(bool tray = true)
    {
        auto desktop = std::make_unique<ScriptedDesktop>();
        desktop->Tray = tray;
        m_desktop = desktop.get();
        m_sheet = std::make_unique<CQuillmereSheet>(&m_manager, QStringLiteral("Quillmere Monitor"), 0,
                                                    std::move(desktop));
        return *m_sheet;
    }

    CQuillmereSheet& StartSheet(bool tray = true)
    {
        CQuillmereSheet& sheet = MakeSheet(tray);
        sheet.Initialize();
        return sheet;
    }

    TempDataFolder m_folder;
    ManualTimerService m_timers;
    CQuillmereManager m_manager;
    CAppSettings m_settings;
    ScriptedDesktop* m_desktop = nullptr;
    std::unique_ptr<CQuillmereSheet> m_sheet;
};
