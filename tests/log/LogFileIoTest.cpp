#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "log/LogFileIo.h"
#include "tests/support/TempDataFolder.h"

namespace
{
// A file with the given text, open for reading and writing while the object lives.
class ScratchFile
{
public:
    ScratchFile(const TempDataFolder& temp, const std::string& name, const std::string& text)
        : m_path(temp.Root() + "/" + name)
    {
        WriteWholeFile(m_path, text);
        m_fd = open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    }
    ~ScratchFile() { if (m_fd >= 0) close(m_fd); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
};

// Blank lines, a bare LF, a lone CR inside a line, CR CR LF, and no break after the last line.
const std::string kAwkwardText = " a\r\n\r\nb\nc\r\rd\r\r\ne";
}

TEST(LogFileRead, LinesAreFoundTheSameWayWhereverTheBlocksEnd)
{
    TempDataFolder temp;
    ScratchFile file(temp, "awkward.log", kAwkwardText);
    ASSERT_GE(file.Fd(), 0);
    const std::vector<std::string> expected = {"e", "c\r\rd\r", "b", "a"};
    for (std::size_t block = 1; block <= kAwkwardText.size() + 1; ++block)
    {
        EXPECT_EQ(ReadNewestLinesOfFile(file.Fd(), 100, block), expected) << "block " << block;
        EXPECT_EQ(ReadNewestLinesOfFile(file.Fd(), 2, block),
                  std::vector<std::string>(expected.begin(), expected.begin() + 2)) << "block " << block;
    }
    EXPECT_TRUE(ReadNewestLinesOfFile(file.Fd(), 0).empty());
}

TEST(LogFileRead, FilesOfOneByteOrOnlyBreaksHaveNoLines)
{
    TempDataFolder temp;
    for (const std::string text : {"", " ", "x", " \r\n\r\n", "\n\n\n"})
    {
        ScratchFile file(temp, "short.log", text);
        EXPECT_TRUE(ReadNewestLinesOfFile(file.Fd(), 100, 1).empty()) << '"' << text << '"';
        EXPECT_TRUE(ReadNewestLinesOfFile(file.Fd(), 100).empty()) << '"' << text << '"';
    }
}

TEST(LogFileCopy, OnlyCrLfPairsBecomeLfWhereverTheChunksEnd)
{
    TempDataFolder temp;
    const std::string text = "\r\n a\r\r\nb\rc\n\r\r";
    ScratchFile source(temp, "source.log", text);
    // Started from the middle on purpose: the copy always begins at the start of the file.
    ASSERT_EQ(lseek(source.Fd(), 5, SEEK_SET), 5);
    for (std::size_t chunk = 1; chunk <= text.size() + 1; ++chunk)
    {
        ScratchFile target(temp, "target.log", "");
        ASSERT_TRUE(CopyWithLfLineEnds(source.Fd(), target.Fd(), chunk));
        EXPECT_EQ(ReadWholeFile(target.Path()), "\n a\r\nb\rc\n\r\r") << "chunk " << chunk;
    }
}

TEST(LogFileCopy, WriteFailureIsReported)
{
    TempDataFolder temp;
    ScratchFile source(temp, "source.log", " line\r\n");
    const int readOnly = open(source.Path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    EXPECT_FALSE(CopyWithLfLineEnds(source.Fd(), readOnly));
    close(readOnly);
}
