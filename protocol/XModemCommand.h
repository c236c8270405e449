#pragma once

#include <cstddef>
#include <string>

#include "SerialCommand.h"

// The firmware update: queued with the upgrade request code; the link turns it into the
// file transfer stage. The path is bounded by the longest path the system can open; a
// longer one is refused rather than cut.
class CXModemCommand : public CSerialCommand
{
public:
    static constexpr std::size_t MaxPathBytes = 4095;   // PATH_MAX less the terminator

    // Stores at most MaxPathBytes bytes, never splitting a UTF-8 sequence; returns false
    // when the path had to be cut (such a path names another file and must not be sent).
    bool SetFilePath(const std::string& path);
    const std::string& GetFilePath() const { return m_filePath; }

private:
    std::string m_filePath;
};
