#include "QuillmereLog.h"

#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "EngineBridge.h"
#include "FontUnits.h"
#include "core/DataFolder.h"
#include "core/EventArgs.h"
#include "core/PrivateMessages.h"
#include "device/QuillmereManager.h"
#include "log/Log.h"
#include "log/LogFileIo.h"
#include "log/LogLineSplit.h"
#include "log/NowText.h"
#include "PlainToolTip.h"

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

// The widest date and time the column must hold: the locale's own text for a moment with
// two-digit fields everywhere, and a long English one as a floor.
constexpr const char* kWidestDateTimeSample = "12/28/2026 10:58:58 PM";
constexpr int kCellPadding = 16;

QString FromLogBytes(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
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
    m_list->header()->setSectionResizeMode(QHeaderView::Interactive);
    m_list->setTextElideMode(Qt::ElideRight);
    SizeColumns();

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_export);
    buttons->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->addLayout(buttons);
    page->addWidget(m_list, 1);
}

CQuillmereLog::~CQuillmereLog() = default;

void CQuillmereLog::SizeColumns()
{
    const QFontMetrics metrics(m_list->font());
    for (int n = 0; n < static_cast<int>(std::size(kColumns)); ++n)
        m_list->setColumnWidth(n, FontUnits::Across(m_list, kColumns[n].width));
    // A full date and time never ends in an ellipsis, whatever the locale and the font.
    const int dateTime = std::max(metrics.horizontalAdvance(QString::fromLatin1(kWidestDateTimeSample)),
                                  metrics.horizontalAdvance(QString::fromLocal8Bit(NowText().c_str())));
    m_list->setColumnWidth(0, std::max(m_list->columnWidth(0), dateTime + kCellPadding));
}

void CQuillmereLog::SetManager(CQuillmereManager* manager)
{
    if (m_manager != nullptr || manager == nullptr)
        return;   // wired once, for the life of the main window
    m_manager = manager;
    m_bridge = std::make_unique<CEngineBridge>(this);
    // Only the newest rows are ever shown, so no more than that many wait.
    m_bridge->OnRecord<CWriteLogEventArgs>(
        PrivateMessage::LogLineWritten, [this](const CWriteLogEventArgs& written) { OnLineWritten(written); },
        kMaxRows);
    m_bridge->Attach(m_manager->GetLog());
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

void CQuillmereLog::LoadFromFile()
{
    if (m_loaded || m_manager == nullptr)
        return;
    m_loaded = true;
    // With the log locked no line is written, so the sequence noted and the file read are
    // one point of the log's history: every line up to that number is in the file, every
    // later one arrives live. A busy log leaves the list to live lines.
    CLog* log = GetLog();
    if (log == nullptr || !log->IsOpen() || !log->Lock())
    {
        // Only lines from now on; the ones already raised are not shown.
        m_loadedUpTo = log != nullptr ? log->GetLastSequence() : 0;
        return;
    }
    m_loadedUpTo = log->GetLastSequence();
    std::vector<std::string> lines;
    const int fd = ::open(JoinPath(GetDataFolder(), CLog::kFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        lines = ReadNewestLinesOfFile(fd, kMaxRows);
        ::close(fd);
    }
    log->Unlock();

    m_list->setUpdatesEnabled(false);
    int row = 0;
    for (const std::string& line : lines)
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
    item->setToolTip(2, PlainToolTip(item->text(2)));
    m_list->insertTopLevelItem(row, item);
}

void CQuillmereLog::OnLineWritten(const CWriteLogEventArgs& written)
{
    // Before the first showing the file read will find the line; after it, the read's
    // sequence says whether it already did.
    if (!m_loaded || written.Sequence <= m_loadedUpTo)
        return;
    InsertLine(0, written.Line);
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
