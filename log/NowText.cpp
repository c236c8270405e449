#include "NowText.h"

#include <array>

namespace
{
constexpr const char* kDateTimeFormat = "%x %X";
}

std::string FormatDateTimeText(const std::tm& local, const char* format)
{
    std::array<char, 128> buffer{};
    // Zero means the text did not fit (or was empty, which no date format produces).
    const std::size_t length = std::strftime(buffer.data(), buffer.size(), format, &local);
    if (length == 0)
        return kInvalidDateTimeText;

    // A comma followed by a blank is dropped ("Mon, 8" reads "Mon 8"); any other comma
    // becomes a blank so the parts it separated stay apart.
    std::string text;
    text.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
    {
        if (buffer[i] != ',')
            text.push_back(buffer[i]);
        else if (i + 1 >= length || buffer[i + 1] != ' ')
            text.push_back(' ');
    }
    return text;
}

std::string DateTimeTextAt(std::time_t when)
{
    std::tm local{};
    if (when == static_cast<std::time_t>(-1) || localtime_r(&when, &local) == nullptr)
        return kInvalidDateTimeText;
    return FormatDateTimeText(local, kDateTimeFormat);
}

std::string NowText()
{
    return DateTimeTextAt(std::time(nullptr));
}
