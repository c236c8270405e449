#include "FileAccess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr mode_t kNewFileMode = 0644;

// The file a symbolic link names is the one to replace; renaming over the link itself
// would silently turn it into a plain file beside its target.
std::string ResolveTarget(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    return path;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, std::string_view content)
{
    std::size_t done = 0;
    while (done < content.size())
    {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

constexpr std::size_t kUniquePart = 6;

// A save cut short by a crash leaves its temporary file behind. Its name is noted before the
// file is made, in a note beside the path (in the program's own folder even when the path is
// a link), and the next save removes exactly that file: never anything else that merely looks
// like one, which may belong to another program or another save under way.
std::string NoteOfTemporary(const std::string& path)
{
    return FolderOf(path) + "/." + NameOf(path) + ".saving";
}

void RemoveNotedTemporary(const std::string& note, const std::string& folder, const std::string& prefix)
{
    std::string noted;
    if (!ReadRegularFile(note, PATH_MAX, noted))
        return;
    const std::string expectedStart = folder + "/" + prefix;
    struct stat info{};
    if (noted.size() == expectedStart.size() + kUniquePart && noted.compare(0, expectedStart.size(), expectedStart) == 0 &&
        noted.find('/', expectedStart.size()) == std::string::npos && lstat(noted.c_str(), &info) == 0 &&
        S_ISREG(info.st_mode) && info.st_uid == geteuid())
        unlink(noted.c_str());
    unlink(note.c_str());
}

bool WriteNote(const std::string& note, const std::string& temporary)
{
    const int fd = open(note.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0)
        return false;
    struct stat info{};
    const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && WriteAll(fd, temporary);
    return close(fd) == 0 && ok;
}

std::string UniquePart()
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string part(kUniquePart, 'A');
    for (char& letter : part)
        letter = kLetters[pick(generator)];
    return part;
}

// Makes the temporary file exclusively under a fresh name, noted first: a crash at any moment
// leaves no temporary file that the note does not name. A name that is taken is someone
// else's file, so its note is removed before another name is tried.
int MakeNotedTemporary(const std::string& stem, const std::string& note, std::string& temporary, bool& noted)
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        temporary = stem + UniquePart();
        // Without the note (a folder that takes no new file) a crash would only leave the
        // temporary file behind; the save itself goes on.
        noted = WriteNote(note, temporary);
        const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0)
            return fd;
        const int error = errno;
        if (noted)
            unlink(note.c_str());
        noted = false;
        errno = error;
        if (error != EEXIST)
            return -1;
    }
    return -1;
}

void SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // The rename has happened and the new file is what readers see; a folder that cannot
    // be flushed only leaves the rename's durability to the file system's next commit.
    fsync(fd);
    close(fd);
}
}

std::string TemporaryFilePrefix(const std::string& path)
{
    return "." + NameOf(path) + ".saving-";
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error)
{
    const std::string target = ResolveTarget(path);
    const std::string folder = FolderOf(target);
    const std::string prefix = TemporaryFilePrefix(target);
    const std::string note = NoteOfTemporary(path);
    RemoveNotedTemporary(note, folder, prefix);

    // The first step that fails names the reason.
    int reason = 0;
    auto step = [&reason](bool ok) {
        if (!ok && reason == 0)
            reason = errno != 0 ? errno : EIO;
        return ok;
    };
    std::string temporary;
    bool noted = false;
    const int fd = MakeNotedTemporary(folder + "/" + prefix, note, temporary, noted);
    if (!step(fd >= 0))
    {
        if (error != nullptr)
            *error = std::strerror(reason);
        return false;
    }

    // The temporary file is made private; a replaced file keeps its own permissions.
    struct stat old{};
    const mode_t mode = stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777) : kNewFileMode;

    errno = 0;
    bool ok = step(fchmod(fd, mode) == 0);
    ok = ok && step(WriteAll(fd, content));
    ok = ok && step(fsync(fd) == 0);
    // close reports late write errors of some file systems; its result counts too.
    ok = step(close(fd) == 0) && ok;
    ok = ok && step(rename(temporary.c_str(), target.c_str()) == 0);
    if (!ok)
        unlink(temporary.c_str());
    else
        SyncFolder(folder);
    if (noted)
        unlink(note.c_str());
    if (!ok && error != nullptr)
        *error = std::strerror(reason);
    return ok;
}

bool ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& content, std::string* error,
                     struct stat* info)
{
    content.clear();
    std::string reason;
    // Non-blocking, so that a FIFO put in the file's place cannot hang the start-up.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
    {
        if (error != nullptr)
            *error = std::strerror(errno);
        return false;
    }

    struct stat own{};
    bool ok = fstat(fd, &own) == 0;
    if (!ok)
        reason = std::strerror(errno);
    else if (!S_ISREG(own.st_mode))
    {
        ok = false;
        reason = "not a regular file";
    }
    else if (static_cast<std::uintmax_t>(own.st_size) > maxBytes)
    {
        ok = false;
        reason = "larger than " + std::to_string(maxBytes) + " bytes";
    }
    if (ok)
    {
        content.resize(static_cast<std::size_t>(own.st_size));
        std::size_t done = 0;
        // The file may shrink or grow while it is read: read to the end, within the limit.
        while (ok)
        {
            if (done == content.size())
            {
                if (content.size() >= maxBytes)
                {
                    char probe;
                    const ssize_t extra = read(fd, &probe, 1);
                    ok = extra == 0;
                    if (!ok)
                        reason = "larger than " + std::to_string(maxBytes) + " bytes";
                    break;
                }
                content.resize(std::min(maxBytes, content.size() + 4096));
            }
            const ssize_t got = read(fd, content.data() + done, content.size() - done);
            if (got < 0)
            {
                if (errno == EINTR)
                    continue;
                ok = false;
                reason = std::strerror(errno);
            }
            else if (got == 0)
                break;
            else
                done += static_cast<std::size_t>(got);
        }
        content.resize(done);
    }
    close(fd);
    if (!ok)
    {
        content.clear();
        if (error != nullptr)
            *error = reason;
    }
    else if (info != nullptr)
        *info = own;
    return ok;
}
