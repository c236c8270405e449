#include "SimOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace
{
bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= max;
}

std::string DefaultDataFolder()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (dataHome != nullptr && *dataHome != '\0')
        base = dataHome;
    else if (const char* home = std::getenv("HOME"))
        base = std::string(home) + "/.local/share";
    else
        base = ".";
    return base + "/Velmarquet/Quillmere Monitor";
}
}  // namespace

const char* UsageText()
{
    return "Usage: quillmere-devsim [options]\n"
           "A simulated relay and telemetry unit on a pseudo-terminal, for trying the program\n"
           "without hardware. Control lines are read from standard input (type \"help\").\n"
           "\n"
           "  --com N                 make the link ports/COM<N> in the data folder\n"
           "  --data-folder DIR       data folder for --com (default: the program's own)\n"
           "  --link PATH             make the link at PATH instead\n"
           "  --transcript FILE       write every frame received (RX) and sent (TX) to FILE\n"
           "  --firmware-out FILE     store an uploaded firmware image in FILE\n"
           "  --max-seconds S         exit after S seconds\n"
           "  --cycle-ms MS           how long a power cycle keeps a relay off (default 5000)\n"
           "  --xmodem-nak-ms MS      repeat of the upload start signal (default 3000)\n"
           "  --reset-ms MS           how long the unit ignores the line after a reset (default 0)\n"
           "  --help                  show this text\n";
}

ParseResult ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error)
{
    std::string dataFolder;
    std::string com;
    for (int i = 1; i < argc; ++i)
    {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h")
            return ParseResult::Help;
        if (i + 1 >= argc)
        {
            error = std::string(name) + " needs a value";
            return ParseResult::Error;
        }
        const std::string value = argv[++i];
        std::uint64_t number = 0;
        if (name == "--link")
            options.linkPath = value;
        else if (name == "--data-folder")
            dataFolder = value;
        else if (name == "--com")
        {
            if (!ParseUnsigned(value, 255, number) || number == 0)
            {
                error = "--com wants a port number from 1 to 255";
                return ParseResult::Error;
            }
            com = value;
        }
        else if (name == "--transcript")
            options.transcriptPath = value;
        else if (name == "--firmware-out")
            options.firmwareOutPath = value;
        else if (name == "--max-seconds")
        {
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds <= 0 ||
                seconds > 1e7)
            {
                error = "--max-seconds wants a positive number of seconds";
                return ParseResult::Error;
            }
            options.maxSeconds = seconds;
        }
        else if (name == "--cycle-ms" || name == "--xmodem-nak-ms" || name == "--reset-ms")
        {
            if (!ParseUnsigned(value, 3600000, number))
            {
                error = std::string(name) + " wants milliseconds from 0 to 3600000";
                return ParseResult::Error;
            }
            (name == "--cycle-ms" ? options.cycleMs
                                  : name == "--reset-ms" ? options.resetMs : options.xmodemNakMs) =
                static_cast<std::uint32_t>(number);
        }
        else
        {
            error = "unknown option " + std::string(name);
            return ParseResult::Error;
        }
    }
    if (options.xmodemNakMs == 0)
    {
        error = "--xmodem-nak-ms must be at least 1";
        return ParseResult::Error;
    }
    if (!dataFolder.empty() && com.empty())
    {
        error = "--data-folder needs --com";
        return ParseResult::Error;
    }
    if (!com.empty())
    {
        if (!options.linkPath.empty())
        {
            error = "give either --link or --com, not both";
            return ParseResult::Error;
        }
        options.linkPath = (dataFolder.empty() ? DefaultDataFolder() : dataFolder) + "/ports/COM" +
                           std::to_string(std::strtoul(com.c_str(), nullptr, 10));
    }
    return ParseResult::Run;
}
