#pragma once

#include <string>
#include <string_view>

// The three columns of the log page. A field that the line does not have stays empty;
// a field that is present is never empty, because empty fields are skipped.
struct LogLineFields
{
    std::string DateTime;
    std::string Level;
    std::string Description;
};

// Splits a log line at commas the way the log page shows it: empty fields are skipped,
// fields past the third are dropped (so a description with a comma shows only up to it),
// and the line break at the end is not part of the last field.
LogLineFields SplitLogLine(std::string_view line);
