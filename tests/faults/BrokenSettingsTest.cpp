#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "FaultFixture.h"

namespace
{
using namespace faults;

struct BrokenFile
{
    const char* name;
    std::function<void(const std::string& path)> make;
    // Texts the saved document must still hold: what was readable is not lost.
    std::vector<std::string> kept;
    // How the one Error line goes on after "Settings not read: <path> "; null: the file is read.
    const char* said = nullptr;
};

void Write(const std::string& path, const std::string& text)
{
    WriteWholeFile(path, text);
}

std::string WithElement(const std::string& element, const std::string& replacement)
{
    std::string text = SettingsText();
    const std::size_t begin = text.find("<" + element + ">");
    const std::size_t end = text.find("</" + element + ">", begin);
    return text.replace(begin, end + element.size() + 3 - begin, replacement);
}

std::string RandomBytes(std::size_t count)
{
    std::mt19937 random(12345);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string DeeplyNested(int depth)
{
    // The watchdog off: parsing this much may pass the default memory limit, and a restart
    // loop is not what this case is about.
    std::string text = "<Settings><ComPort>7</ComPort><EnableMemoryCheck>0</EnableMemoryCheck>";
    for (int i = 0; i < depth; ++i)
        text += "<Relays>";
    for (int i = 0; i < depth; ++i)
        text += "</Relays>";
    return text + "</Settings>";
}

const std::vector<BrokenFile>& BrokenFiles()
{
    static const std::vector<BrokenFile> files = {
        {"Empty", [](const std::string& p) { Write(p, ""); }, {}, "line 1: "},
        {"NotXml", [](const std::string& p) { Write(p, "ComPort=7\nthis is not a settings document\n"); }, {}, "line "},
        {"CutOffHalfway", [](const std::string& p) { Write(p, SettingsText().substr(0, SettingsText().size() / 2)); },
         {}, "line "},
        {"BinaryRubbish", [](const std::string& p) { Write(p, RandomBytes(4096)); }, {}, "line "},
        {"OnlyNulBytes", [](const std::string& p) { Write(p, std::string(1000, '\0')); }, {}, "line "},
        {"WrongRootName",
         [](const std::string& p) { Write(p, "<Configuration><ComPort>7</ComPort></Configuration>"); },
         {"<ComPort>5</ComPort>"}, "the root element is <Configuration>, not <Settings>"},
        {"NumbersOutOfEveryRange",
         [](const std::string& p) {
             std::string text = WithElement("ComPort", "<ComPort>99999999999999999999999</ComPort>");
             const std::size_t at = text.find("<StatusPollIntervalInMinutes>30<");
             Write(p, text.replace(at, 31, "<StatusPollIntervalInMinutes>-2147483649"));
         },
         {"<Target>127.0.0.1</Target>"}},
        {"WordsWhereNumbersGo",
         [](const std::string& p) { Write(p, WithElement("ComPort", "<ComPort>seven</ComPort><LogLevel>Loud</LogLevel>")); },
         {"<Target>127.0.0.1</Target>", "<StatusPollIntervalInMinutes>30<"}},
        {"UnknownAndRepeatedElements",
         [](const std::string& p) {
             Write(p, WithElement("ComPort", "<ComPort>3</ComPort><Colour>red</Colour><ComPort>7</ComPort>"));
         },
         {"<ComPort>7</ComPort>", "<Target>127.0.0.1</Target>"}},
        {"ByteOrderMarkFirst", [](const std::string& p) { Write(p, "\xEF\xBB\xBF" + SettingsText()); },
         {"<ComPort>7</ComPort>", "<Target>127.0.0.1</Target>"}},
        {"NestedHundredThousandDeep", [](const std::string& p) { Write(p, DeeplyNested(100000)); }, {}},
        {"LargerThanAnySettings",
         [](const std::string& p) { Write(p, "<Settings>" + std::string(65 * 1024 * 1024, ' ') + "</Settings>"); },
         {}, "not a readable settings file (larger than "},
        {"AFolderOfThatName", [](const std::string& p) { std::filesystem::create_directory(p); }, {},
         "not a readable settings file ("},
        {"APipeOfThatName", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, {},
         "not a readable settings file (not a regular file)"},
        {"ALinkToNowhere",
         [](const std::string& p) { std::filesystem::create_symlink(p + ".gone", p); }, {},
         "not a readable settings file ("},
    };
    return files;
}
}

class BrokenSettings : public FaultFixture, public ::testing::WithParamInterface<std::size_t>
{
};

TEST_P(BrokenSettings, TheProgramStartsRunsAndEndsWithACompleteDocument)
{
    const BrokenFile& broken = BrokenFiles()[GetParam()];
    std::filesystem::remove(SettingsPath());
    broken.make(SettingsPath());
    const bool wasFolder = std::filesystem::is_directory(SettingsPath());
    const bool regular = std::filesystem::is_regular_file(std::filesystem::symlink_status(SettingsPath()));
    const std::string original = regular ? ReadWholeFile(SettingsPath()) : std::string();

    ProgramProcess program(OutputPath());
    ASSERT_TRUE(WaitForLogEntry("Event,Application Started", 20000)) << Diagnostics();
    // Long enough for the link and the first poll to have begun with what was loaded.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(program.IsRunning()) << Diagnostics();
    ASSERT_TRUE(StopProgram(program)) << Diagnostics();
    // The defaults switch the memory watchdog on, which may restart the program once its
    // memory passes the limit (an instrumented build does): every start has its end.
    EXPECT_EQ(CountLogEntries("Event,Application terminated"), CountLogEntries("Event,Application Started"));
    EXPECT_EQ(LogDefect(ReadWholeFile(LogPath()), false), "");

    // An unreadable file is said once, with its line or reason, and its bytes are kept beside
    // it before the defaults are written in its place.
    const std::string line = "Error,Settings not read: " + SettingsPath() + " ";
    EXPECT_EQ(CountLogLinesWith(line), broken.said != nullptr ? 1u : 0u) << Diagnostics();
    std::vector<std::string> copies;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder.DataFolder()))
        if (entry.path().filename().string().rfind("settings.xml.unreadable-", 0) == 0)
            copies.push_back(entry.path().string());
    if (broken.said != nullptr)
    {
        EXPECT_EQ(CountLogLinesWith(line + broken.said), 1u) << Diagnostics();
        ASSERT_EQ(copies.size(), regular ? 1u : 0u);
        if (regular)
        {
            EXPECT_TRUE(ReadWholeFile(copies[0]) == original) << "the kept copy differs from the operator's file";
            EXPECT_EQ(CountLogLinesWith("; kept as " + copies[0] + "; the defaults run"), 1u) << Diagnostics();
        }
    }
    else
        EXPECT_TRUE(copies.empty());

    if (wasFolder)
    {
        // Nothing may be put in place of a folder; the program just could not save.
        EXPECT_TRUE(std::filesystem::is_directory(SettingsPath()));
        return;
    }
    const std::string saved = ReadWholeFile(SettingsPath());
    EXPECT_TRUE(ParsesAsSettings(saved)) << saved.substr(0, 400);
    for (const std::string& text : broken.kept)
        EXPECT_NE(saved.find(text), std::string::npos) << text << " was lost: " << saved;
    // What was unreadable is replaced by the defaults, which are complete: a second start
    // loads them back unchanged.
    const std::size_t startsBefore = CountLogEntries("Event,Application Started");
    ProgramProcess again(OutputPath());
    ASSERT_TRUE(WaitForLogEntry("Event,Application Started", 20000, startsBefore + 1)) << Diagnostics();
    ASSERT_TRUE(StopProgram(again)) << Diagnostics();
    EXPECT_EQ(ReadWholeFile(SettingsPath()), saved);
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenSettings, ::testing::Range<std::size_t>(0, BrokenFiles().size()),
                         [](const auto& info) { return std::string(BrokenFiles()[info.param].name); });
