#include "FaultFixture.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <pugixml.hpp>
#include <regex>
#include <sstream>
#include <thread>

namespace faults
{
namespace
{
void CollectLeaves(const pugi::xml_node& node, const std::string& path, std::map<std::string, std::string>& out,
                   std::map<std::string, int>& seen)
{
    for (const pugi::xml_node& child : node.children())
    {
        if (child.type() != pugi::node_element)
            continue;
        std::string childPath = path + "/" + child.name();
        childPath += "[" + std::to_string(seen[childPath]++) + "]";
        if (child.first_child().type() == pugi::node_element)
            CollectLeaves(child, childPath, out, seen);
        else
            out[childPath] = child.text().get();
    }
}
}

std::map<std::string, std::string> LeafValues(const std::string& xml)
{
    pugi::xml_document document;
    std::map<std::string, std::string> values;
    if (!document.load_buffer(xml.data(), xml.size()))
        return values;
    std::map<std::string, int> seen;
    CollectLeaves(document, "", values, seen);
    return values;
}

bool ParsesAsSettings(const std::string& xml)
{
    pugi::xml_document document;
    return document.load_buffer(xml.data(), xml.size()) && document.child("Settings");
}

std::string LogDefect(const std::string& content, bool tornTailAllowed)
{
    static const std::regex line(R"(^[^,\r\n]+,(Debug|Error|Event),[^\r\n]*$)");
    std::size_t start = 0;
    int number = 1;
    while (start < content.size())
    {
        const std::size_t end = content.find("\r\n", start);
        if (end == std::string::npos)
        {
            if (tornTailAllowed)
                return {};
            return "line " + std::to_string(number) + " has no CR LF: " + content.substr(start);
        }
        const std::string text = content.substr(start, end - start);
        if (!std::regex_match(text, line))
            return "line " + std::to_string(number) + " is not a log line: " + text;
        start = end + 2;
        ++number;
    }
    return {};
}

int FrameCode(const std::string& frame)
{
    if (frame.size() < 5 || frame.compare(0, 3, "02 ") != 0)
        return -1;
    return static_cast<int>(std::stoul(frame.substr(3, 2), nullptr, 16));
}
}

void FaultFixture::SetUp()
{
    std::filesystem::create_directories(m_folder.DataFolder());
    WriteWholeFile(SettingsPath(), faults::SettingsText());
    m_sim = std::make_unique<DevSimProcess>(std::vector<std::string>{"--com", std::to_string(faults::kComPort),
                                                                     "--data-folder", m_folder.DataFolder()},
                                            120);
    ASSERT_TRUE(m_sim->Started()) << m_sim->Error();
}

std::vector<std::string> FaultFixture::LogEntries() const
{
    std::vector<std::string> entries;
    std::istringstream in(ReadWholeFile(LogPath()));
    for (std::string line; std::getline(in, line);)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t comma = line.find(',');
        if (comma != std::string::npos)
            entries.push_back(line.substr(comma + 1));
    }
    return entries;
}

std::size_t FaultFixture::CountLogEntries(const std::string& entry) const
{
    const auto entries = LogEntries();
    return static_cast<std::size_t>(std::count(entries.begin(), entries.end(), entry));
}

std::size_t FaultFixture::CountLogLinesWith(const std::string& text) const
{
    const auto entries = LogEntries();
    return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [&](const std::string& e) {
        return e.find(text) != std::string::npos;
    }));
}

bool FaultFixture::WaitForLogEntry(const std::string& entry, int timeoutMs, std::size_t count) const
{
    return faults::WaitFor([&] { return CountLogEntries(entry) >= count; }, timeoutMs);
}

bool FaultFixture::WaitUntilPolled(int timeoutMs) const
{
    return faults::WaitFor(
        [&] {
            const auto frames = m_sim->ReceivedFrames();
            auto has = [&](const char* start) {
                return std::any_of(frames.begin(), frames.end(),
                                   [&](const std::string& f) { return f.rfind(start, 0) == 0; });
            };
            return has("02 0D 01 01") && has("02 02 01 01") && has("02 04 00") && has("02 0C 00");
        },
        timeoutMs);
}

bool FaultFixture::StopProgram(ProgramProcess& program, int timeoutMs) const
{
    if (!program.Signal(SIGTERM))
        return false;
    const int status = program.WaitForExit(timeoutMs);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::size_t FaultFixture::ProperAnswersAfterFault() const
{
    const auto lines = m_sim->TranscriptLines();
    const auto fault = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("TX ", 0) == 0 && l.find("!fault") != std::string::npos;
    });
    if (fault == lines.end())
        return 0;
    return static_cast<std::size_t>(std::count_if(fault + 1, lines.end(), [](const std::string& l) {
        return l.rfind("TX 02 ", 0) == 0 && l.find('!') == std::string::npos;
    }));
}

int FaultFixture::FirstSpoiledCommand() const
{
    int lastReceived = -1;
    for (const std::string& line : m_sim->TranscriptLines())
    {
        if (line.rfind("RX ", 0) == 0)
            lastReceived = faults::FrameCode(line.substr(3));
        else if (line.rfind("TX ", 0) == 0 && line.find("!fault") != std::string::npos)
            return lastReceived;
    }
    return -1;
}

std::string FaultFixture::Diagnostics() const
{
    std::string text = "program output:\n" + ReadWholeFile(OutputPath()) + "log:\n" + ReadWholeFile(LogPath()) +
                       "transcript:\n";
    for (const std::string& line : m_sim->TranscriptLines())
        text += line + "\n";
    return text;
}
