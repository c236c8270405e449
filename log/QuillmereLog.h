#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ui/PropertyPage.h"

class QPushButton;
class QTreeWidget;
class CLog;

// The "Log" tab: the newest log lines, newest on top, and "Export Log".
//
// The file is read once, the first time the page is shown; from then on each line the log
// writes arrives through Update (on the writing thread), is posted, and goes on top. The
// log stores UTF-8, so bytes are decoded as UTF-8 and a broken sequence shows as the
// replacement character rather than as stray Latin-1 letters.
//
// The destructor detaches from the log; the program ends every writing thread before its
// windows go, and the log outlives them.
class CQuillmereLog : public CPropertyPage
{
    Q_OBJECT
public:
    static constexpr int kMaxRows = 100;

    explicit CQuillmereLog(QWidget* parent = nullptr);
    ~CQuillmereLog() override;

    void SetManager(CQuillmereManager* manager) override;
    void OnSetActive() override;
    void Update(CEventArgs* args) override;

    QTreeWidget* GetList() const { return m_list; }
    bool IsLoaded() const { return m_loaded; }

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

    // Asks where the copy goes; empty when the user cancels. Tests replace the dialog.
    virtual std::optional<QString> ChooseExportPath();

private:
    void LoadFromFile();
    void InsertLine(int row, const std::string& line);
    void AddLiveLine(const std::string& line, std::intptr_t kind);
    void Export();
    CLog* GetLog() const;

    CQuillmereManager* m_manager = nullptr;
    CLog* m_attachedLog = nullptr;
    bool m_loaded = false;
    // The log raises a line after releasing its lock, so a line that the first read already
    // found can still arrive live: posted while the file is read (always in it), or as the
    // first post of its writing thread after the read (a thread's next line waits for the
    // previous one's notification), which is matched against the lines read.
    std::atomic<bool> m_accepting{false};
    std::atomic<bool> m_loading{false};
    std::atomic<bool> m_alive{true};
    std::mutex m_postersMutex;
    std::set<std::thread::id> m_postersAfterLoad;   // guarded by m_postersMutex
    std::vector<std::string> m_loadedLines;         // UI thread only

    QPushButton* m_export = nullptr;
    QTreeWidget* m_list = nullptr;
};
