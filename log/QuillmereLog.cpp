#include "QuillmereLog.h"

#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "Log.h"
#include "LogFileIo.h"
#include "LogLineSplit.h"
#include "core/DataFolder.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereManager.h"
#include "ui/PrivateEvent.h"

namespace
{
constexpr const char* kExportText = "Export Log";
constexpr const char* kExportFileName = "Quillmere.log";
constexpr const char* kExportFilter = "Log Files (*.log)";
constexpr const char* kExportSuffix = "log";

struct Column
{
    const char* heading;
    int width;
};
constexpr Column kColumns[] = {{"Date/Time", 95}, {"Event", 75}, {"Description", 300}};

// The wParam of a posted line. Lines posted while the page read the file with the log
// locked were written before it and are in the file already; the first line of a thread
// after the read may be too (its notification may have been late) and is matched.
constexpr std::intptr_t kNewLine = 0;
constexpr std::intptr_t kPostedDuringRead = 1;
constexpr std::intptr_t kFirstOfItsThread = 2;
// Past this many writing threads the first read is long over; the set stops growing.
constexpr std::size_t kMaxPostersTracked = 64;

QString FromLogBytes(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string WithoutLineBreak(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}
}

CQuillmereLog::CQuillmereLog(QWidget* parent) : CPropertyPage(parent)
{
    setWindowTitle(QStringLiteral("Log"));

    m_export = new QPushButton(QString::fromUtf8(kExportText), this);
    m_export->setObjectName(QStringLiteral("exportButton"));
    connect(m_export, &QPushButton::clicked, this, &CQuillmereLog::Export);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("logList"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setColumnCount(static_cast<int>(std::size(kColumns)));
    QStringList headings;
    for (const Column& column : kColumns)
        headings << QString::fromUtf8(column.heading);
    m_list->setHeaderLabels(headings);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int n = 0; n < static_cast<int>(std::size(kColumns)); ++n)
        m_list->setColumnWidth(n, kColumns[n].width);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_export);
    buttons->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->addLayout(buttons);
    page->addWidget(m_list, 1);
}

CQuillmereLog::~CQuillmereLog()
{
    m_alive.store(false);
    if (m_attachedLog != nullptr)
        m_attachedLog->Detach(this);
}

void CQuillmereLog::SetManager(CQuillmereManager* manager)
{
    if (m_manager != nullptr || manager == nullptr)
        return;   // wired once, for the life of the main window
    m_manager = manager;
    m_manager->AttachLogObserver(this);
    m_attachedLog = m_manager->GetLog();
}

CLog* CQuillmereLog::GetLog() const
{
    return m_manager != nullptr ? m_manager->GetLog() : nullptr;
}

void CQuillmereLog::OnSetActive()
{
    LoadFromFile();
}

void CQuillmereLog::showEvent(QShowEvent* event)
{
    CPropertyPage::showEvent(event);
    LoadFromFile();
}

void CQuillmereLog::Update(CEventArgs* args)
{
    if (!m_alive.load() || !m_accepting.load())
        return;   // before the first showing the file read picks the line up
    auto* written = dynamic_cast<CWriteLogEventArgs*>(args);
    if (written == nullptr)
        return;
    std::intptr_t kind = m_loading.load() ? kPostedDuringRead : kNewLine;
    if (kind == kNewLine)
    {
        std::lock_guard<std::mutex> guard(m_postersMutex);
        if (m_postersAfterLoad.size() < kMaxPostersTracked &&
            m_postersAfterLoad.insert(std::this_thread::get_id()).second)
            kind = kFirstOfItsThread;
    }
    PostPrivateMessage(this, PrivateMessage::LogLineWritten, std::make_unique<CWriteLogEventArgs>(*written), kind);
}

bool CQuillmereLog::event(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(PrivateMessage::LogLineWritten))
    {
        auto* posted = static_cast<CPrivateEvent*>(event);
        if (auto* written = dynamic_cast<CWriteLogEventArgs*>(posted->Record()))
            AddLiveLine(written->Line, posted->WParam());
        return true;
    }
    return CPropertyPage::event(event);
}

void CQuillmereLog::LoadFromFile()
{
    if (m_loaded || m_manager == nullptr)
        return;
    m_loaded = true;
    // With the log locked no line is written, so switching live lines on and reading the
    // file happen at one point of the log's history: no line is missed, and every line
    // raised meanwhile is already in the file. A busy log leaves the list to live lines.
    CLog* log = GetLog();
    if (log == nullptr || !log->IsOpen() || !log->Lock())
    {
        m_accepting.store(true);
        return;
    }
    m_loading.store(true);
    m_accepting.store(true);
    const int fd = ::open(JoinPath(GetDataFolder(), CLog::kFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        m_loadedLines = ReadNewestLinesOfFile(fd, kMaxRows);
        ::close(fd);
    }
    m_loading.store(false);
    log->Unlock();

    m_list->setUpdatesEnabled(false);
    int row = 0;
    for (const std::string& line : m_loadedLines)
        InsertLine(row++, line);
    m_list->setUpdatesEnabled(true);
}

void CQuillmereLog::InsertLine(int row, const std::string& line)
{
    const LogLineFields fields = SplitLogLine(line);
    auto* item = new QTreeWidgetItem;
    item->setText(0, FromLogBytes(fields.DateTime));
    item->setText(1, FromLogBytes(fields.Level));
    item->setText(2, FromLogBytes(fields.Description));
    m_list->insertTopLevelItem(row, item);
}

void CQuillmereLog::AddLiveLine(const std::string& line, std::intptr_t kind)
{
    if (kind == kPostedDuringRead)
        return;   // the file read had it
    if (kind == kFirstOfItsThread)
    {
        const std::string bare = WithoutLineBreak(line);
        auto found = std::find(m_loadedLines.begin(), m_loadedLines.end(), bare);
        if (found != m_loadedLines.end())
        {
            m_loadedLines.erase(found);   // already on the list from the file
            return;
        }
    }
    InsertLine(0, line);
    while (m_list->topLevelItemCount() > kMaxRows)
        delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
}

std::optional<QString> CQuillmereLog::ChooseExportPath()
{
    // Owned by no window, as the export always was.
    QFileDialog dialog(nullptr);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QString::fromUtf8(kExportSuffix));
    dialog.setNameFilter(QString::fromUtf8(kExportFilter));
    dialog.selectFile(QString::fromUtf8(kExportFileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void CQuillmereLog::Export()
{
    const std::optional<QString> path = ChooseExportPath();
    if (!path || path->isEmpty())
        return;
    if (CLog* log = GetLog())
        log->Export(QFile::encodeName(*path).toStdString());
}
