#pragma once

#include <ctime>
#include <string>

// The date and time text of log lines and of the main window: the locale's short date, a
// space and the time with seconds. The program sets the locale once at start; this never
// does, so it is safe to call from any thread.
std::string NowText();
// The same text for another moment, such as when the unit last answered.
std::string DateTimeTextAt(std::time_t when);

// The same text for a given local time and strftime format. Commas are taken out because
// the log page splits lines at commas; "Invalid DateTime" when the text cannot be made.
std::string FormatDateTimeText(const std::tm& local, const char* format);

inline constexpr const char* kInvalidDateTimeText = "Invalid DateTime";
