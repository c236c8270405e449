#include "ManagerFixture.h"

#include <sstream>

#include "core/DataFolder.h"

std::vector<std::string> ManagerFixture::LogLines() const
{
    const std::string content = ReadWholeFile(JoinPath(GetDataFolder(), CLog::kFileName));
    std::vector<std::string> lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto comma = line.find(',');
        if (comma != std::string::npos)
            lines.push_back(line.substr(comma + 1));
    }
    return lines;
}
