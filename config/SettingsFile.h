#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CAppSettings;

// A file as it was last read or written: enough to tell that someone changed it since.
struct CFileFingerprint
{
    bool Exists = false;
    std::uint64_t Size = 0;
    std::int64_t ModifiedNs = 0;
    std::uint64_t Hash = 0;   // of the bytes, for a regular file this program would read

    bool operator==(const CFileFingerprint&) const = default;
};

// What reading settings.xml found.
struct CSettingsReading
{
    enum class Outcome
    {
        Read,
        Missing,
        Unreadable,   // there, but not a well-formed document with a Settings root, or not readable at all
    };
    Outcome Result = Outcome::Missing;
    std::string Why;                  // for Unreadable: "line 3: ..." or "not a readable settings file (...)"
    std::vector<std::string> Notes;   // elements not known and values not taken as written, when asked
};

// The operator's settings.xml between a start and an exit: read once, never written over with
// something older than itself, and never lost. The one reader of the file for the program,
// the service and the service's --check. Used on one thread.
class CSettingsFile
{
public:
    explicit CSettingsFile(std::string path);
    const std::string& Path() const { return m_path; }

    // Reads the file into settings (which change only when it is read) and remembers it as the
    // file this run knows. withNotes: every element and value the reading did not take as written.
    CSettingsReading Read(CAppSettings& settings, bool withNotes = false);
    // A reload: as Read, and each monitor the file still names (event name and target) keeps
    // the failures and the power cycles this run counted, unless the file's CurrentResetCount
    // is not what this run last read or wrote (the operator set it).
    CSettingsReading ReadAgain(CAppSettings& settings);

    // After an unreadable Read: the bytes copied beside the file under a name that says what it
    // is (settings.xml.unreadable-2026-12-10T14-03-11). The copy's path, or empty with *why.
    // A file that is not a regular one has no bytes to keep: empty, and *why empty.
    std::string KeepUnreadable(std::string* why);

    // The save at a normal exit, once (the model is not brought up to a newer file). A file unchanged on disk whose values did not change is not
    // touched; a file changed on disk since it was read is read again and kept, with this run's
    // reset counts carried into it; an unreadable file is written over only once it was kept.
    struct SaveResult
    {
        enum class Kind
        {
            Unchanged,
            Written,
            KeptNewer,   // Line says so
            Failed,      // Line says why; the file on disk is as it was
        };
        Kind What = Kind::Unchanged;
        std::string Line;
    };
    SaveResult Save(const CAppSettings& settings);

    static CFileFingerprint FingerprintOf(const std::string& path);

private:
    struct Count
    {
        std::string EventName;
        std::string Target;
        std::int32_t ResetCount;
        std::int32_t FailureCount;
    };
    static std::vector<Count> CountsOf(const CAppSettings& settings);
    void Remember(const CAppSettings& settings, const std::string& xml);

    std::string m_path;
    CFileFingerprint m_known;          // the file as this run last read or wrote it
    std::string m_knownXml;            // the model as it was then; empty when nothing was read
    std::vector<Count> m_fileCounts;   // each monitor's CurrentResetCount in that file
    bool m_unkept = false;             // an unreadable regular file not yet copied aside
};
