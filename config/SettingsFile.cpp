#include "SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "AppSettings.h"
#include "FileAccess.h"
#include "SettingsDocument.h"
#include "core/DirectoryTree.h"

namespace
{
std::uint64_t HashOf(const std::string& bytes)
{
    // FNV-1a: a change of any byte shows; nobody is trying to collide it.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes)
    {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

CFileFingerprint FingerprintFrom(const struct stat& info, const std::string* bytes)
{
    CFileFingerprint print;
    print.Exists = true;
    print.Size = static_cast<std::uint64_t>(info.st_size);
    print.ModifiedNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    print.Hash = bytes != nullptr ? HashOf(*bytes) : 0;
    return print;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// The first entry of `counts` not yet taken with this event name and target.
template <typename Entry>
Entry* TakeMatch(std::vector<Entry>& counts, std::vector<bool>& taken, const std::string& eventName,
                 const std::string& target)
{
    for (std::size_t i = 0; i < counts.size(); ++i)
    {
        if (!taken[i] && counts[i].EventName == eventName && counts[i].Target == target)
        {
            taken[i] = true;
            return &counts[i];
        }
    }
    return nullptr;
}

// Copies a regular file's bytes to a new file beside it; the copy's path, or empty.
std::string CopyBeside(const std::string& path, const std::string& stem, std::string& why)
{
    const int from = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info{};
    if (from < 0 || ::fstat(from, &info) != 0 || !S_ISREG(info.st_mode))
    {
        why = from < 0 ? std::strerror(errno) : "not a regular file";
        if (from >= 0)
            ::close(from);
        return {};
    }
    std::string copy;
    int to = -1;
    for (int attempt = 1; attempt <= 100 && to < 0; ++attempt)
    {
        copy = stem + (attempt == 1 ? std::string() : "-" + std::to_string(attempt));
        to = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, info.st_mode & 0666);
        if (to < 0 && errno != EEXIST)
            break;
    }
    bool ok = to >= 0;
    if (!ok)
        why = std::strerror(errno);
    char buffer[65536];
    while (ok)
    {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
        {
            ok = got == 0;
            if (!ok)
                why = std::strerror(errno);
            break;
        }
        for (ssize_t done = 0; ok && done < got;)
        {
            const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            ok = put > 0;
            if (!ok)
                why = std::strerror(errno);
            else
                done += put;
        }
    }
    ok = ok && ::fsync(to) == 0;
    if (to >= 0 && ::close(to) != 0 && ok)
    {
        ok = false;
        why = std::strerror(errno);
    }
    ::close(from);
    if (!ok && to >= 0)
        ::unlink(copy.c_str());
    return ok ? copy : std::string();
}
}

CSettingsFile::CSettingsFile(std::string path) : m_path(std::move(path)) {}

CFileFingerprint CSettingsFile::FingerprintOf(const std::string& path)
{
    std::string bytes;
    struct stat info{};
    if (ReadRegularFile(path, CAppSettings::MaxFileBytes, bytes, nullptr, &info))
        return FingerprintFrom(info, &bytes);
    if (::stat(path.c_str(), &info) == 0 || ::lstat(path.c_str(), &info) == 0)
        return FingerprintFrom(info, nullptr);
    return {};
}

std::vector<CSettingsFile::Count> CSettingsFile::CountsOf(const CAppSettings& settings)
{
    std::vector<Count> counts;
    for (const auto& monitor : settings.GetNetworkMonitors())
        counts.push_back({monitor->GetEventName(), monitor->GetTarget(), monitor->GetCurrentResetCount(),
                          monitor->GetFailureCount()});
    return counts;
}

void CSettingsFile::Remember(const CAppSettings& settings, const std::string& xml)
{
    m_known = FingerprintOf(m_path);
    m_knownXml = xml;
    m_fileCounts = CountsOf(settings);
    m_unkept = false;
}

CSettingsReading CSettingsFile::Read(CAppSettings& settings, bool withNotes)
{
    CSettingsReading reading;
    m_knownXml.clear();
    m_fileCounts.clear();
    m_unkept = false;
    std::string content;
    std::string error;
    struct stat info{};
    if (!ReadRegularFile(m_path, CAppSettings::MaxFileBytes, content, &error, &info))
    {
        m_known = FingerprintOf(m_path);
        if (::lstat(m_path.c_str(), &info) != 0 && errno == ENOENT)
            return reading;
        reading.Result = CSettingsReading::Outcome::Unreadable;
        reading.Why = "not a readable settings file (" + error + ")";
        m_unkept = ::stat(m_path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
        return reading;
    }
    m_known = FingerprintFrom(info, &content);
    if (!settings.LoadFromMemory(content.data(), content.size(), &reading.Why, withNotes ? &reading.Notes : nullptr))
    {
        reading.Result = CSettingsReading::Outcome::Unreadable;
        m_unkept = true;
        return reading;
    }
    reading.Result = CSettingsReading::Outcome::Read;
    const std::unique_ptr<CSettingsDocument> document = settings.BuildDocument();
    m_knownXml = document ? document->GetXml() : std::string();
    m_fileCounts = CountsOf(settings);
    return reading;
}

CSettingsReading CSettingsFile::ReadAgain(CAppSettings& settings)
{
    std::vector<Count> learnt = CountsOf(settings);
    std::vector<Count> fileBefore = m_fileCounts;
    const CFileFingerprint known = m_known;
    const std::string knownXml = m_knownXml;
    CSettingsReading reading = Read(settings);
    if (reading.Result != CSettingsReading::Outcome::Read)
    {
        // What runs stays, and so does the file this run knows: an exit will not write over
        // a file it could not read.
        m_known = known;
        m_knownXml = knownXml;
        m_fileCounts = std::move(fileBefore);
        return reading;
    }
    std::vector<bool> learntTaken(learnt.size()), beforeTaken(fileBefore.size());
    for (const auto& monitor : settings.GetNetworkMonitors())
    {
        const Count* run = TakeMatch(learnt, learntTaken, monitor->GetEventName(), monitor->GetTarget());
        const Count* before = TakeMatch(fileBefore, beforeTaken, monitor->GetEventName(), monitor->GetTarget());
        if (run == nullptr)
            continue;
        monitor->RestoreFailureCount(run->FailureCount);
        if (before == nullptr || before->ResetCount == monitor->GetCurrentResetCount())
        {
            const bool quiet = monitor->IsSuppressingNotifications();
            monitor->SetSuppressNotifications(true);
            monitor->SetCurrentResetCount(run->ResetCount);
            monitor->SetSuppressNotifications(quiet);
        }
    }
    return reading;
}

std::string CSettingsFile::KeepUnreadable(std::string* why)
{
    std::string reason;
    if (!m_unkept)
    {
        if (why != nullptr)
            why->clear();
        return {};
    }
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", &local);
    const std::string copy = CopyBeside(m_path, m_path + ".unreadable-" + stamp, reason);
    if (!copy.empty())
        m_unkept = false;
    if (why != nullptr)
        *why = reason;
    return copy;
}

CSettingsFile::SaveResult CSettingsFile::Save(const CAppSettings& settings)
{
    SaveResult result;
    const CFileFingerprint now = FingerprintOf(m_path);
    const CAppSettings* toWrite = &settings;
    std::optional<CAppSettings> newer;
    bool carriedSomething = false;
    if (now.Exists && now != m_known)
    {
        // Someone edited the file while this run had it: theirs wins, with what this run has
        // counted in it, so a flapping host's allowance is not handed back by the edit.
        newer.emplace();
        std::string why;
        if (!newer->LoadFromFile(m_path, &why))
        {
            result.What = SaveResult::Kind::Failed;
            result.Line = "Settings not saved: " + m_path + " changed on disk since it was read and cannot be read (" +
                          why + "); it is left as it is";
            return result;
        }
        std::vector<Count> run = CountsOf(settings);
        std::vector<Count> before = m_fileCounts;
        std::vector<bool> runTaken(run.size()), beforeTaken(before.size());
        for (const auto& monitor : newer->GetNetworkMonitors())
        {
            const Count* ours = TakeMatch(run, runTaken, monitor->GetEventName(), monitor->GetTarget());
            const Count* read = TakeMatch(before, beforeTaken, monitor->GetEventName(), monitor->GetTarget());
            // A count the editor changed is the operator's word.
            if (ours == nullptr || (read != nullptr && read->ResetCount != monitor->GetCurrentResetCount()) ||
                ours->ResetCount == monitor->GetCurrentResetCount())
                continue;
            monitor->SetSuppressNotifications(true);
            monitor->SetCurrentResetCount(ours->ResetCount);
            carriedSomething = true;
        }
        toWrite = &*newer;
        result.What = SaveResult::Kind::KeptNewer;
        result.Line = "Settings file " + m_path + " changed on disk since it was read: the newer file is kept" +
                      (carriedSomething ? ", with this run's reset counts" : "");
    }
    else if (m_unkept)
    {
        result.What = SaveResult::Kind::Failed;
        result.Line = "Settings not saved: " + m_path + " could not be read and no copy of it could be kept; it is left as it is";
        return result;
    }

    const std::unique_ptr<CSettingsDocument> document = toWrite->BuildDocument();
    if (!document)
    {
        result.What = SaveResult::Kind::Failed;
        result.Line = "Settings not saved: " + m_path + ": out of memory; the file is left as it was";
        return result;
    }
    const std::string xml = document->GetXml();
    const bool unchanged = now == m_known && now.Exists && !m_knownXml.empty() && xml == m_knownXml;
    if (unchanged)
        return result;
    std::string error;
    if (!CreateDirectoryTree(FolderOf(m_path)) || !WriteFileAtomically(m_path, xml, &error))
    {
        result.What = SaveResult::Kind::Failed;
        result.Line = "Settings not saved: " + m_path + ": " + (error.empty() ? std::string(std::strerror(errno)) : error) +
                      "; the file is left as it was";
        return result;
    }
    Remember(*toWrite, xml);
    if (result.What == SaveResult::Kind::Unchanged)
        result.What = SaveResult::Kind::Written;
    return result;
}
