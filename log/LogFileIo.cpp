#include "LogFileIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{
bool ReadAllAt(int fd, char* data, std::size_t size, off_t offset)
{
    while (size > 0)
    {
        const ssize_t n = pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;   // an error, or the file shrank under us
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::string> ReadNewestLinesOfFile(int fd, std::size_t maxLines, std::size_t blockBytes)
{
    struct stat info{};
    if (maxLines == 0 || fstat(fd, &info) != 0 || info.st_size <= 1)
        return {};
    blockBytes = std::max<std::size_t>(blockBytes, 1);

    // First find where the lines are, scanning backwards; then read them in one go. The
    // scan looks at each byte once, in blocks, so a full 5 MiB file costs ~80 reads.
    std::vector<std::pair<off_t, off_t>> ranges;   // [begin, end), newest first
    std::vector<char> block(std::min<std::size_t>(blockBytes, static_cast<std::size_t>(info.st_size)));
    off_t lineEnd = info.st_size;
    off_t pos = info.st_size;   // bytes [1, pos) are still to be scanned
    bool afterLineFeed = false;
    bool failed = false;
    while (pos > 1 && ranges.size() < maxLines)
    {
        const off_t start = std::max<off_t>(1, pos - static_cast<off_t>(blockBytes));
        const std::size_t count = static_cast<std::size_t>(pos - start);
        if (!ReadAllAt(fd, block.data(), count, start))
        {
            failed = true;
            break;
        }
        std::size_t end = count;   // block[0, end) is still to be scanned
        while (end > 0 && ranges.size() < maxLines)
        {
            if (std::exchange(afterLineFeed, false) && block[end - 1] == '\r')
            {
                lineEnd = start + static_cast<off_t>(--end);
                continue;
            }
            const void* hit = memrchr(block.data(), '\n', end);
            if (hit == nullptr)
                break;
            end = static_cast<std::size_t>(static_cast<const char*>(hit) - block.data());
            const off_t at = start + static_cast<off_t>(end);
            if (lineEnd > at + 1)
                ranges.emplace_back(at + 1, lineEnd);
            lineEnd = at;
            afterLineFeed = true;
        }
        pos = start;
    }
    // What is left before the oldest line feed is the oldest line, minus the first byte.
    if (!failed && pos <= 1 && ranges.size() < maxLines && lineEnd > 1)
        ranges.emplace_back(1, lineEnd);
    if (ranges.empty())
        return {};

    const off_t regionBegin = ranges.back().first;
    const off_t regionEnd = ranges.front().second;
    std::string region(static_cast<std::size_t>(regionEnd - regionBegin), '\0');
    if (!ReadAllAt(fd, region.data(), region.size(), regionBegin))
        return {};

    std::vector<std::string> lines;
    lines.reserve(ranges.size());
    for (const auto& [begin, end] : ranges)
        lines.emplace_back(region, static_cast<std::size_t>(begin - regionBegin),
                           static_cast<std::size_t>(end - begin));
    return lines;
}

bool CopyWithLfLineEnds(int source, int target, std::size_t chunkBytes)
{
    // The buffers need be no larger than the file; a log is often far smaller than a chunk.
    struct stat info{};
    if (fstat(source, &info) == 0 && info.st_size >= 0)
        chunkBytes = std::min(chunkBytes, static_cast<std::size_t>(info.st_size));
    chunkBytes = std::max<std::size_t>(chunkBytes, 1);
    const auto in = std::make_unique_for_overwrite<char[]>(chunkBytes);
    std::string out;
    out.reserve(chunkBytes + 1);
    off_t offset = 0;
    // A CR at the end of one chunk is held back until the next byte shows whether it
    // starts a CR LF pair.
    bool heldCarriageReturn = false;
    for (;;)
    {
        const ssize_t n = pread(source, in.get(), chunkBytes, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        offset += n;
        out.clear();
        const char* from = in.get();
        const char* const end = from + n;
        if (std::exchange(heldCarriageReturn, false) && *from != '\n')
            out.push_back('\r');
        while (from < end)
        {
            const auto* cr = static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(end - from)));
            if (cr == nullptr)
            {
                out.append(from, end);
                break;
            }
            out.append(from, cr);
            if (cr + 1 == end)
                heldCarriageReturn = true;
            else if (cr[1] != '\n')
                out.push_back('\r');
            from = cr + 1;
        }
        if (!WriteAll(target, out.data(), out.size()))
            return false;
    }
    return !heldCarriageReturn || WriteAll(target, "\r", 1);
}
