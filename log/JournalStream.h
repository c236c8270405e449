#pragma once

#include <string>
#include <string_view>

// A program started by the service manager may have its standard error connected to the
// journal, which then reads a "<N>" prefix on each line as that line's priority. The
// manager says so in JOURNAL_STREAM ("device:inode" of the stream it connected).

// Whether fd is the stream JOURNAL_STREAM names (a descriptor handed on to something else
// since, a pipe to a terminal say, is not).
bool IsJournalStream(int fd);

// One log entry as one journal line: "<3>" for Error, "<5>" for Event, "<7>" for Debug and
// anything else, then the text with its line breaks and other control characters turned
// into blanks, so that a multi-line text stays one entry with its priority.
std::string JournalLine(int level, std::string_view text);
