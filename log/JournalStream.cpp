#include "JournalStream.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "Log.h"

namespace
{
constexpr const char* kErrorPriority = "<3>";    // LOG_ERR
constexpr const char* kEventPriority = "<5>";    // LOG_NOTICE
constexpr const char* kDebugPriority = "<7>";    // LOG_DEBUG
}

bool IsJournalStream(int fd)
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (stream == nullptr || std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2)
        return false;
    struct stat info{};
    return ::fstat(fd, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

std::string JournalLine(int level, std::string_view text)
{
    std::string line = level == LogEntryLevel::Error   ? kErrorPriority
                       : level == LogEntryLevel::Event ? kEventPriority
                                                       : kDebugPriority;
    line.reserve(line.size() + text.size() + 1);
    for (const char c : text)
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    line += '\n';
    return line;
}
