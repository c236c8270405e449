#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ProgramProcess.h"
#include "tests/support/DevSimProcess.h"
#include "tests/support/TempDataFolder.h"

namespace faults
{
constexpr int kComPort = 7;

inline std::string SettingsText(int pollMinutes = 30)
{
    return ProgramSettingsText(kComPort, pollMinutes);
}
using ::WaitFor;

// Every leaf element of an XML text as "path=value", or an empty map when it does not parse.
std::map<std::string, std::string> LeafValues(const std::string& xml);
bool ParsesAsSettings(const std::string& xml);

// What is wrong with a log file's bytes, or an empty text: every line ends with CR LF and has
// a date, a level word and a description; only the very last bytes may lack their CR LF, and
// only when tornTailAllowed.
std::string LogDefect(const std::string& content, bool tornTailAllowed);

// The code byte of a transcript frame ("02 04 00 04 03" -> 4), or -1.
int FrameCode(const std::string& frame);
}

// A data folder with the settings, the simulated unit on COM 7 and helpers to start the program
// against it and read what it wrote.
class FaultFixture : public ::testing::Test
{
protected:
    void SetUp() override;

    std::string SettingsPath() const { return m_folder.DataFolder() + "/settings.xml"; }
    std::string LogPath() const { return m_folder.DataFolder() + "/Quillmere.log"; }
    std::string OutputPath() const { return m_folder.Root() + "/program.out"; }

    // The log's lines without their line break and without the date: "Level,description".
    std::vector<std::string> LogEntries() const;
    std::size_t CountLogEntries(const std::string& entry) const;   // lines equal to "Level,description"
    std::size_t CountLogLinesWith(const std::string& text) const;
    bool WaitForLogEntry(const std::string& entry, int timeoutMs, std::size_t count = 1) const;

    // Started, connected, and the first poll is on the wire.
    bool WaitUntilPolled(int timeoutMs = 15000) const;
    // Ends the program by SIGTERM; true when it exited normally.
    bool StopProgram(ProgramProcess& program, int timeoutMs = 15000) const;

    // Whole frames the unit sent, unspoiled, after the first answer it spoiled on purpose.
    std::size_t ProperAnswersAfterFault() const;
    // The code of the command whose answer the unit spoiled first, or -1.
    int FirstSpoiledCommand() const;
    std::string Diagnostics() const;

    TempDataFolder m_folder;
    std::unique_ptr<DevSimProcess> m_sim;
};
