#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ui/PropertyPage.h"

class QPushButton;
class QTreeWidget;
class CEngineBridge;
class CLog;
class CWriteLogEventArgs;

// The "Log" tab: the newest log lines, newest on top, and "Export Log".
//
// The file is read once, the first time the page is shown; from then on each line the log
// writes comes over the bridge and goes on top. The read notes the log's line sequence
// under the log's lock, so a line raised later but already in the file is known by its
// number, and two identical lines stay two rows. The log stores UTF-8, so bytes are decoded
// as UTF-8 and a broken sequence shows as the replacement character.
//
// Column widths follow the font and can be dragged wider; a description too long for its
// column ends in an ellipsis and shows whole in its tooltip.
class CQuillmereLog : public CPropertyPage
{
    Q_OBJECT
public:
    static constexpr int kMaxRows = 100;

    explicit CQuillmereLog(QWidget* parent = nullptr);
    ~CQuillmereLog() override;

    void SetManager(CQuillmereManager* manager) override;
    void OnSetActive() override;

protected:
    void showEvent(QShowEvent* event) override;

    // Asks where the copy goes; empty when the user cancels. Tests replace the dialog.
    virtual std::optional<QString> ChooseExportPath();

private:
    void LoadFromFile();
    void InsertLine(int row, const std::string& line);
    void OnLineWritten(const CWriteLogEventArgs& written);
    void SizeColumns();
    void Export();
    CLog* GetLog() const;

    CQuillmereManager* m_manager = nullptr;
    std::unique_ptr<CEngineBridge> m_bridge;
    bool m_loaded = false;
    std::uint64_t m_loadedUpTo = 0;   // the last line sequence the file read holds

    QPushButton* m_export = nullptr;
    QTreeWidget* m_list = nullptr;
};
