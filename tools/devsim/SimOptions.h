#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the command line of the simulated unit sets.
struct SimOptions
{
    std::string linkPath;          // ports/COM<n> style link to the pseudo-terminal, or empty
    std::string transcriptPath;
    std::string firmwareOutPath;
    std::optional<double> maxSeconds;
    std::uint32_t cycleMs = 5000;        // how long a power-cycled relay stays off
    std::uint32_t xmodemNakMs = 3000;    // repeat of the upload start signal
    std::uint32_t resetMs = 0;           // the unit ignores the line this long after a reset
};

enum class ParseResult
{
    Run,
    Help,
    Error
};

// Reads argv[1..]. The data folder for --com without --data-folder is found the way the
// program finds its own: $XDG_DATA_HOME, else ~/.local/share, then "Velmarquet/Quillmere Monitor".
ParseResult ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

const char* UsageText();
