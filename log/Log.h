#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "BoundedLock.h"
#include "LogFloodGuard.h"
#include "core/Clock.h"
#include "core/Subject.h"

// The level numbers callers pass to CLog::Write; the file spells them as words.
namespace LogEntryLevel
{
inline constexpr int Debug = 0;
inline constexpr int Error = 1;
inline constexpr int Event = 2;
}

// The level word of a line; a number outside the known levels is written as the number.
std::string GetLogLevelWord(int level);

// The program's event log: Quillmere.log in the data folder, one "date,level,description"
// line per entry with CR LF ends, and one backup generation, Quillmere.log.0, once the file
// grows past 5 MiB. Every line is raised to observers as a CWriteLogEventArgs on the writing
// thread after the lock is released. Writes, rotation, export and reading all take one lock
// with a 200 ms limit, so a writer never waits long; a line that misses it is dropped.
//
// The log never blocks and never stays off: only a regular file is written, and a file that
// cannot be opened or written is tried again at a later line, at most once a second; the
// first line that gets through is preceded by one that counts the lines lost meanwhile. A
// write cut short (a full disk) is undone, so the file holds whole lines only.
class CLog : public CSubject
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRetryAfter{1};
    static constexpr std::uintmax_t kRotateAboveBytes = 5'242'880;
    static constexpr std::chrono::milliseconds kLockWait{200};
    static constexpr const char* kFileName = "Quillmere.log";
    static constexpr const char* kBackupFileName = "Quillmere.log.0";
    static constexpr const char* kBusyLostText = " log lines were lost while the log was busy";

    CLog() = default;
    ~CLog();

    // Opens or creates the file in the data folder, exclusively: while another CLog or
    // process has it, this one stays unopened and tries again at later lines. Anything but
    // a regular file (a FIFO, a device) is refused, said once on standard error. Success
    // shows in IsOpen().
    void Open();
    bool IsOpen() const { return m_open.load(); }
    // Closes the file and lets others open it. Lines written afterwards reach observers only.
    void Close();

    // Writes every count still held (each flood held back, the lines a busy lock dropped) as
    // lines of their own, raised like any other, so that the shutdown's last line comes after
    // them; Close does the same for the file alone.
    void SumUpFloods();

    // Every line from now on also goes to fd (the journal's stream) as JournalLine gives
    // it, unlocked and in the order raised; -1 stops it. The file stays as it is.
    void MirrorToJournal(int fd) { m_journalFd = fd; }

    // The clock of the retry and the flood guard, given by the owner (a test moves it); the
    // system's by default. It must outlive the log.
    void SetClock(const IClock& clock);

    // Appends one line. Without an open file the line is still raised to observers, so the
    // log page shows what happened even when the file cannot be written.
    void Write(int level, const std::string& text);

    // Copies the file with LF line ends to path. False when the lock was busy, no file is
    // open, path is the log file itself, or the copy could not be made.
    bool Export(const std::string& path);

    // The newest lines, newest first, without line breaks, for the log page's first fill.
    // Empty when the lock was busy or no file is open. Not to be called while holding Lock().
    std::vector<std::string> ReadNewestLines(std::size_t maxLines);

    // For readers that need the file to stand still; Unlock() only after Lock() returned true.
    bool Lock();
    void Unlock();
    // The sequence number of the last line written. Read under Lock(), it tells a reader
    // which raised lines its read of the file already holds, even identical ones.
    std::uint64_t GetLastSequence() const { return m_lastSequence.load(); }

private:
    bool OpenLocked(std::string& why);
    void CloseLocked();
    void RotateIfNeededLocked();
    // Appends one composed line, retrying the file first when it is due; false when the
    // line did not reach the file.
    bool StoreLocked(const std::string& body, Clock::time_point now);
    bool AppendLocked(const std::string& body);
    struct NumberedLine
    {
        std::string body;
        std::uint64_t sequence;
        int level = 0;
        std::string text;
    };
    // Stores each line and gives the composed lines, for raising once the lock is released.
    std::vector<NumberedLine> StoreAllLocked(const std::vector<CLogFloodGuard::Line>& lines, Clock::time_point now);
    std::vector<NumberedLine> SumUpFloodsLocked();
    void RaiseAll(const std::vector<NumberedLine>& bodies);
    // Closes the file and sets the next attempt a second on.
    void FailLocked(Clock::time_point now, const std::string& why);

    std::atomic<bool> m_open{false};
    std::atomic<int> m_journalFd{-1};
    std::atomic<std::uint64_t> m_lastSequence{0};   // changed only under m_lock
    CBoundedLock m_lock;
    // Lines dropped because the lock was not had in time; said by the next line that gets it.
    std::atomic<std::uint64_t> m_busyLost{0};
    // Everything below is guarded by m_lock.
    int m_fd = -1;
    std::string m_folder;
    bool m_wanted = false;          // between Open and Close: a missing file is retried
    Clock::time_point m_retryAt;
    std::uint64_t m_lost = 0;       // lines that did not reach the file since it was last written
    bool m_outageSaid = false;      // standard error has been told of this outage
    CLogFloodGuard m_flood;
    const IClock* m_clock = &IClock::System();
};
