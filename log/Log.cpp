#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "JournalStream.h"
#include "LogFileIo.h"
#include "NowText.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "core/EventArgs.h"

namespace
{
// A new file starts with one blank: the log page reads backwards and never reads the
// first byte, so the first real line keeps its first character.
constexpr char kLeadingByte = ' ';
constexpr const char* kFileLineBreak = "\r\n";
constexpr const char* kRaisedLineBreak = "\n";

// Opens path for appending and takes the exclusive lock; -1 with the reason in why when it
// cannot. Non-blocking and regular files only: a FIFO in the file's place would otherwise
// stop every writer, the link worker among them, for good. The descriptor does not survive
// exec, so a restarted program can take the lock again.
int OpenExclusive(const std::string& path, std::string& why)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0)
    {
        why = std::strerror(errno);
        return -1;
    }
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    {
        why = "not a regular file";
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        why = "in use by another program";
        close(fd);
        return -1;
    }
    // Checked on the file itself, not by asking whether it existed before the open: an
    // empty file left by a crash right after its creation needs the blank as much.
    if (info.st_size == 0 && !WriteAll(fd, &kLeadingByte, 1))
    {
        why = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void BlankOut(std::string& text, char unwanted)
{
    char* at = text.data();
    char* const end = at + text.size();
    while ((at = static_cast<char*>(std::memchr(at, unwanted, static_cast<std::size_t>(end - at)))) != nullptr)
        *at++ = ' ';
}

// One entry is one line: a line break inside a description would split it into rows
// that the log page cannot tell apart from real entries.
std::string OneLine(const std::string& text)
{
    std::string line = text;
    BlankOut(line, '\r');
    BlankOut(line, '\n');
    return line;
}
}

std::string GetLogLevelWord(int level)
{
    switch (level)
    {
    case LogEntryLevel::Debug: return "Debug";
    case LogEntryLevel::Error: return "Error";
    case LogEntryLevel::Event: return "Event";
    default: return std::to_string(level);
    }
}

CLog::~CLog()
{
    Close();
}

bool CLog::Lock()
{
    return m_lock.try_lock_for(kLockWait);
}

void CLog::Unlock()
{
    m_lock.unlock();
}

void CLog::SetClock(const IClock& clock)
{
    std::lock_guard<CBoundedLock> guard(m_lock);
    m_clock = &clock;
}

void CLog::Open()
{
    // Opening and closing are start-up and shutdown steps: they wait for the lock
    // without a limit rather than give up.
    std::lock_guard<CBoundedLock> guard(m_lock);
    CloseLocked();
    m_wanted = true;
    std::string why;
    m_open = OpenLocked(why);
    if (!m_open)
        FailLocked(m_clock->Now(), why);
}

void CLog::Close()
{
    std::lock_guard<CBoundedLock> guard(m_lock);
    // A flood still being held back is summed up before the file goes.
    SumUpFloodsLocked();
    m_wanted = false;
    CloseLocked();
}

void CLog::SumUpFloods()
{
    std::vector<NumberedLine> bodies;
    {
        std::lock_guard<CBoundedLock> guard(m_lock);
        bodies = SumUpFloodsLocked();
    }
    RaiseAll(bodies);
}

std::vector<CLog::NumberedLine> CLog::SumUpFloodsLocked()
{
    std::vector<CLogFloodGuard::Line> summaries;
    m_flood.Flush(summaries);
    // Lines a busy lock dropped are otherwise said by the next line only, and its observers
    // (the broker's event topic) never hear of them.
    if (const std::uint64_t busy = m_busyLost.exchange(0); busy > 0)
        summaries.push_back({LogEntryLevel::Error, std::to_string(busy) + kBusyLostText});
    return StoreAllLocked(summaries, m_clock->Now());
}

std::vector<CLog::NumberedLine> CLog::StoreAllLocked(const std::vector<CLogFloodGuard::Line>& lines,
                                                     Clock::time_point now)
{
    std::vector<NumberedLine> bodies;
    bodies.reserve(lines.size());
    for (const auto& line : lines)
    {
        const std::uint64_t sequence = m_lastSequence.load() + 1;
        m_lastSequence.store(sequence);
        bodies.push_back({NowText() + "," + GetLogLevelWord(line.level) + "," + line.text, sequence, line.level,
                          line.text});
        StoreLocked(bodies.back().body, now);
    }
    return bodies;
}

void CLog::RaiseAll(const std::vector<NumberedLine>& bodies)
{
    for (const NumberedLine& line : bodies)
    {
        if (const int journal = m_journalFd.load(); journal >= 0)
        {
            const std::string entry = JournalLine(line.level, line.text);
            // The journal reads whole lines; a write it cuts short loses that entry only.
            [[maybe_unused]] const ssize_t written = ::write(journal, entry.data(), entry.size());
        }
        auto args = std::make_unique<CWriteLogEventArgs>(line.body + kRaisedLineBreak, line.sequence);
        Notify(args.get());
    }
}

bool CLog::OpenLocked(std::string& why)
{
    m_folder = GetDataFolder();
    why = "its folder cannot be made";
    if (CreateDirectoryTree(m_folder))
        m_fd = OpenExclusive(JoinPath(m_folder, kFileName), why);
    return m_fd >= 0;
}

void CLog::CloseLocked()
{
    m_open = false;
    if (m_fd >= 0)
        close(m_fd);   // also releases the flock
    m_fd = -1;
}

void CLog::FailLocked(Clock::time_point now, const std::string& why)
{
    // Once per outage: a log that stays off must not flood standard error instead.
    if (!m_outageSaid)
    {
        std::fprintf(stderr, "quillmere-monitor: the log %s cannot be written (%s); trying again later\n",
                     JoinPath(m_folder, kFileName).c_str(), why.c_str());
        m_outageSaid = true;
    }
    CloseLocked();
    m_retryAt = now + kRetryAfter;
}

bool CLog::AppendLocked(const std::string& body)
{
    RotateIfNeededLocked();
    const off_t before = lseek(m_fd, 0, SEEK_END);
    const std::string stored = body + kFileLineBreak;
    // One write per line on an O_APPEND descriptor: a line is never torn by another.
    if (WriteAll(m_fd, stored.data(), stored.size()))
        return true;
    const int error = errno;
    // Part of the line may be in (a full disk takes what fits): cut back to the previous
    // line end, so that what follows later starts on a line of its own.
    if (before >= 0 && ftruncate(m_fd, before) != 0)
    {
        // Nothing more can be done here; the outage keeps the descriptor closed from now on.
    }
    errno = error;
    return false;
}

bool CLog::StoreLocked(const std::string& body, Clock::time_point now)
{
    if (m_fd < 0)
    {
        if (!m_wanted || now < m_retryAt)
        {
            m_lost += m_wanted ? 1 : 0;
            return false;
        }
        std::string why;
        m_open = OpenLocked(why);
        if (!m_open)
        {
            FailLocked(now, why);
            ++m_lost;
            return false;
        }
    }
    if (const std::uint64_t busy = m_busyLost.exchange(0); busy > 0)
    {
        const std::string note = NowText() + "," + GetLogLevelWord(LogEntryLevel::Error) + "," +
                                 std::to_string(busy) + kBusyLostText;
        if (!AppendLocked(note))
        {
            FailLocked(now, std::strerror(errno));
            m_lost += busy + 1;
            return false;
        }
    }
    if (m_lost > 0)
    {
        const std::string note = NowText() + "," + GetLogLevelWord(LogEntryLevel::Error) + "," +
                                 std::to_string(m_lost) + " log lines were lost while the log file could not be written";
        if (!AppendLocked(note))
        {
            FailLocked(now, std::strerror(errno));
            ++m_lost;
            return false;
        }
        m_lost = 0;
    }
    if (!AppendLocked(body))
    {
        FailLocked(now, std::strerror(errno));
        ++m_lost;
        return false;
    }
    m_outageSaid = false;
    return true;
}

void CLog::RotateIfNeededLocked()
{
    struct stat info{};
    if (fstat(m_fd, &info) != 0 || static_cast<std::uintmax_t>(info.st_size) <= kRotateAboveBytes)
        return;

    // The full file stays open until its successor is open and locked, so a failure at
    // any step leaves a file to write to and no moment where another process could take
    // the current name. rename() replaces an existing backup in one step.
    const std::string current = JoinPath(m_folder, kFileName);
    const std::string backup = JoinPath(m_folder, kBackupFileName);
    if (std::rename(current.c_str(), backup.c_str()) != 0)
        return;   // keeps appending to the full file; the next line tries again
    std::string why;
    const int fresh = OpenExclusive(current, why);
    if (fresh < 0)
    {
        // Put the full file back under its own name so that lines keep going where the
        // log page and the next start look for them.
        std::rename(backup.c_str(), current.c_str());
        return;
    }
    close(m_fd);
    m_fd = fresh;
}

void CLog::Write(int level, const std::string& text)
{
    if (!m_lock.try_lock_for(kLockWait))
    {
        ++m_busyLost;   // dropped, but counted: the next line that gets through says so
        return;
    }

    const Clock::time_point now = m_clock->Now();
    std::vector<CLogFloodGuard::Line> lines;
    std::string description = OneLine(text);
    if (m_flood.Admit(level, description, now, lines))
        lines.push_back({level, std::move(description)});
    const std::vector<NumberedLine> bodies = StoreAllLocked(lines, now);
    m_lock.unlock();
    RaiseAll(bodies);
}

bool CLog::Export(const std::string& path)
{
    if (!m_lock.try_lock_for(kLockWait))
        return false;
    std::lock_guard<CBoundedLock> guard(m_lock, std::adopt_lock);
    if (m_fd < 0)
        return false;

    // Opened without truncation first: truncating before knowing that path is not the
    // log itself would wipe the log.
    const int target = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (target < 0)
        return false;
    struct stat logInfo{};
    struct stat targetInfo{};
    bool copied = false;
    if (fstat(m_fd, &logInfo) == 0 && fstat(target, &targetInfo) == 0 &&
        !(logInfo.st_dev == targetInfo.st_dev && logInfo.st_ino == targetInfo.st_ino) &&
        ftruncate(target, 0) == 0)
    {
        copied = CopyWithLfLineEnds(m_fd, target);
    }
    // The file system may report a failed write only when the copy is closed.
    if (close(target) != 0)
        copied = false;
    return copied;
}

std::vector<std::string> CLog::ReadNewestLines(std::size_t maxLines)
{
    if (!m_lock.try_lock_for(kLockWait))
        return {};
    std::lock_guard<CBoundedLock> guard(m_lock, std::adopt_lock);
    if (m_fd < 0)
        return {};
    return ReadNewestLinesOfFile(m_fd, maxLines);
}
