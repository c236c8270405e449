#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens path for appending and takes the exclusive lock; -1 when either fails. The
// descriptor does not survive exec, so a restarted program can take the lock again.
int OpenExclusive(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        close(fd);
        return -1;
    }
    // Checked on the file itself, not by asking whether it existed before the open: an
    // empty file left by a crash right after its creation needs the blank as much.
    struct stat info{};
    if (fstat(fd, &info) != 0 || (info.st_size == 0 && !WriteAll(fd, &kLeadingByte, 1)))
    {
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

void CLog::Open()
{
    // Opening and closing are start-up and shutdown steps: they wait for the lock
    // without a limit rather than give up.
    std::lock_guard<CBoundedLock> guard(m_lock);
    CloseLocked();
    m_open = OpenLocked();
}

void CLog::Close()
{
    std::lock_guard<CBoundedLock> guard(m_lock);
    CloseLocked();
}

bool CLog::OpenLocked()
{
    m_folder = GetDataFolder();
    if (!CreateDirectoryTree(m_folder))
        return false;
    m_fd = OpenExclusive(JoinPath(m_folder, kFileName));
    return m_fd >= 0;
}

void CLog::CloseLocked()
{
    m_open = false;
    if (m_fd >= 0)
        close(m_fd);   // also releases the flock
    m_fd = -1;
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
    const int fresh = OpenExclusive(current);
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
        return;   // dropped: nothing written, nothing raised

    const std::string body = NowText() + "," + GetLogLevelWord(level) + "," + OneLine(text);
    if (m_fd >= 0)
    {
        RotateIfNeededLocked();
        const std::string stored = body + kFileLineBreak;
        // One write per line on an O_APPEND descriptor: a line is never torn by another.
        WriteAll(m_fd, stored.data(), stored.size());
    }
    const std::uint64_t sequence = m_lastSequence.load() + 1;
    m_lastSequence.store(sequence);
    m_lock.unlock();

    auto args = std::make_unique<CWriteLogEventArgs>(body + kRaisedLineBreak, sequence);
    Notify(args.get());
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
