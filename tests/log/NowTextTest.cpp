#include <gtest/gtest.h>

#include <regex>

#include "log/NowText.h"

namespace
{
std::tm MondayMorning()
{
    std::tm when{};
    when.tm_year = 2025 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 8;
    when.tm_wday = 1;
    when.tm_hour = 10;
    when.tm_min = 42;
    when.tm_sec = 7;
    return when;
}
}

TEST(NowText, IsTheLocaleShortDateAndTimeWithSeconds)
{
    // Tests run in the C locale, whose "%x %X" is mm/dd/yy hh:mm:ss.
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), "%x %X"), "12/08/25 10:42:07");
    const std::string now = NowText();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)"))) << now;
}

TEST(NowText, CommasFromTheLocaleAreTakenOut)
{
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), "%a, %d %b %Y, %H:%M:%S"), "Mon 08 Dec 2025 10:42:07");
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), "%d,%m,%Y"), "08 12 2025");
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), "%Y,"), "2025 ");
}

TEST(NowText, TextThatCannotBeMadeIsInvalidDateTime)
{
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), ""), "Invalid DateTime");
    const std::string tooLong(300, 'x');
    EXPECT_EQ(FormatDateTimeText(MondayMorning(), tooLong.c_str()), "Invalid DateTime");
}
