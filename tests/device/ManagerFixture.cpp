#include "ManagerFixture.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "core/DataFolder.h"
#include "tests/support/DevSimProcess.h"

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

std::vector<int> ReceivedCodes(const DevSimProcess& unit)
{
    std::vector<int> codes;
    for (const std::string& frame : unit.ReceivedFrames())
    {
        std::istringstream bytes(frame);
        unsigned start = 0, code = 0;
        if (bytes >> std::hex >> start >> code && start == 0x02)
            codes.push_back(static_cast<int>(code));
    }
    return codes;
}

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
