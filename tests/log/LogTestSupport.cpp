#include "LogTestSupport.h"

#include "core/DataFolder.h"
#include "core/EventArgs.h"
#include "log/Log.h"

void LineCollector::Update(CEventArgs* args)
{
    if (auto* line = dynamic_cast<CWriteLogEventArgs*>(args))
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.push_back(line->Line);
    }
}

std::vector<std::string> LineCollector::Lines() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
}

std::string LogFilePath()
{
    return JoinPath(GetDataFolder(), CLog::kFileName);
}

std::string BackupFilePath()
{
    return JoinPath(GetDataFolder(), CLog::kBackupFileName);
}

std::string AsStored(const std::string& raisedLine)
{
    return WithoutBreak(raisedLine) + "\r\n";
}

std::string WithoutBreak(const std::string& raisedLine)
{
    if (!raisedLine.empty() && raisedLine.back() == '\n')
        return raisedLine.substr(0, raisedLine.size() - 1);
    return raisedLine;
}

std::vector<std::string> StoredLines(const std::string& fileText)
{
    std::vector<std::string> lines;
    std::size_t start = 1;
    while (start < fileText.size())
    {
        std::size_t end = fileText.find("\r\n", start);
        if (end == std::string::npos)
            end = fileText.size();
        lines.push_back(fileText.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}
