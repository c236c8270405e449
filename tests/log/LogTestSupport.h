#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/Observer.h"

// Collects every line a CLog raises, from whichever thread wrote it.
class LineCollector final : public CObserver
{
public:
    void Update(CEventArgs* args) override;
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

std::string LogFilePath();
std::string BackupFilePath();

// A raised line as the file stores it: the LF end becomes CR LF.
std::string AsStored(const std::string& raisedLine);
// A raised line without its line break, as ReadNewestLines gives it.
std::string WithoutBreak(const std::string& raisedLine);
// The lines of a log file's text after its leading byte, split at CR LF, breaks removed.
std::vector<std::string> StoredLines(const std::string& fileText);
