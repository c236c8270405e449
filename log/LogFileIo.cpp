#include "LogFileIo.h"

#include <algorithm>
#include <cerrno>
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
        for (std::size_t i = count; i-- > 0 && ranges.size() < maxLines;)
        {
            const off_t at = start + static_cast<off_t>(i);
            if (std::exchange(afterLineFeed, false) && block[i] == '\r')
            {
                lineEnd = at;
                continue;
            }
            if (block[i] == '\n')
            {
                if (lineEnd > at + 1)
                    ranges.emplace_back(at + 1, lineEnd);
                lineEnd = at;
                afterLineFeed = true;
            }
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
    chunkBytes = std::max<std::size_t>(chunkBytes, 1);
    std::vector<char> in(chunkBytes);
    std::string out;
    out.reserve(chunkBytes + 1);
    off_t offset = 0;
    // A CR at the end of one chunk is held back until the next byte shows whether it
    // starts a CR LF pair.
    bool heldCarriageReturn = false;
    for (;;)
    {
        const ssize_t n = pread(source, in.data(), in.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        offset += n;
        out.clear();
        for (ssize_t i = 0; i < n; ++i)
        {
            const char c = in[static_cast<std::size_t>(i)];
            if (std::exchange(heldCarriageReturn, false) && c != '\n')
                out.push_back('\r');
            if (c == '\r')
                heldCarriageReturn = true;
            else
                out.push_back(c);
        }
        if (!WriteAll(target, out.data(), out.size()))
            return false;
    }
    return !heldCarriageReturn || WriteAll(target, "\r", 1);
}
