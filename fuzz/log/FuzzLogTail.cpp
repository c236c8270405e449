// Feeds arbitrary bytes to the log page's reading path: the bytes become the log file, which
// is read backwards (through CLog and with awkward block sizes), split into columns, and
// exported. Checks the invariants the page relies on besides "no crash".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "log/Log.h"
#include "log/LogFileIo.h"
#include "log/LogLineSplit.h"

namespace
{
std::string g_root;

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a text-mode read makes of the file: each CR LF becomes LF, nothing else changes.
std::string WithLfEnds(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    }
    return out;
}

void CheckLines(const std::vector<std::string>& lines, std::size_t maxLines, std::size_t fileSize)
{
    Check(lines.size() <= maxLines);
    std::size_t total = 0;
    for (const std::string& line : lines)
    {
        Check(!line.empty());
        Check(line.find('\n') == std::string::npos);
        total += line.size();
        const LogLineFields fields = SplitLogLine(line);
        for (const std::string* field : {&fields.DateTime, &fields.Level, &fields.Description})
            Check(field->find(',') == std::string::npos);
        Check(!fields.Level.empty() || fields.Description.empty());
    }
    Check(total < fileSize || fileSize == 0);
}
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every run writes, locks and copies a file: memory-backed storage keeps that cheap.
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "qm-fuzz-log-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    g_root = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_root, ignored);
    });
    setenv("XDG_DATA_HOME", g_root.c_str(), 1);
    Check(CreateDirectoryTree(GetDataFolder()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks how many lines to ask for and a small block size; the rest is the file.
    std::size_t maxLines = 100;
    std::size_t block = 1;
    if (size > 0)
    {
        maxLines = data[0] % 8 == 0 ? 100 : data[0] % 8;
        block = 1 + data[0] / 8;
        ++data;
        --size;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = JoinPath(GetDataFolder(), CLog::kFileName);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }

    CLog log;
    log.Open();
    Check(log.IsOpen());
    const std::string stored = ReadAll(path);   // an empty file has gained its blank

    const std::vector<std::string> lines = log.ReadNewestLines(maxLines);
    CheckLines(lines, maxLines, stored.size());

    // The block size must not change which lines are found.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    Check(ReadNewestLinesOfFile(fd, maxLines, block) == lines);
    close(fd);

    const std::string copy = g_root + "/export.log";
    Check(log.Export(copy));
    Check(ReadAll(copy) == WithLfEnds(stored));
    return 0;
}
