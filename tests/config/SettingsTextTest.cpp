#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ostream>
#include <string>

#include "config/IntegerText.h"
#include "config/LogLevelValue.h"
#include "config/RelayPermission.h"

namespace
{
struct TextCase
{
    std::string text;
    std::int32_t value;
};

using IntegerCase = TextCase;

// Shown in the test's name, so control characters are escaped.
void PrintTo(const TextCase& c, std::ostream* out)
{
    *out << ::testing::PrintToString(c.text) << " -> " << c.value;
}

class PermissionFromText : public ::testing::TestWithParam<TextCase> {};
class LogLevelFromText : public ::testing::TestWithParam<TextCase> {};
class IntegerFromText : public ::testing::TestWithParam<IntegerCase> {};
}

TEST_P(PermissionFromText, MapsExactlyWithOnOffFallback)
{
    EXPECT_EQ(RelayPermissionFromText(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, PermissionFromText,
                         ::testing::Values(TextCase{"Both", 0}, TextCase{"Cycle", 1}, TextCase{"On/Off", 2},
                                           TextCase{"on/off", 2}, TextCase{"both", 2}, TextCase{"CYCLE", 2},
                                           TextCase{"Cycle ", 2}, TextCase{"", 2}, TextCase{"0", 2}));

TEST(PermissionToText, TableLookupWithEmptyTextOutside)
{
    EXPECT_EQ(RelayPermissionToText(0), "Both");
    EXPECT_EQ(RelayPermissionToText(1), "Cycle");
    EXPECT_EQ(RelayPermissionToText(2), "On/Off");
    EXPECT_EQ(RelayPermissionToText(3), "");
    EXPECT_EQ(RelayPermissionToText(-1), "");
    EXPECT_EQ(RelayPermissionToText(INT32_MIN), "");
}

TEST_P(LogLevelFromText, OnlyDebugIsDebug)
{
    EXPECT_EQ(LogLevelValueFromText(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, LogLevelFromText,
                         ::testing::Values(TextCase{"Debug", 1}, TextCase{"Events & Errors", 0}, TextCase{"debug", 0},
                                           TextCase{"1", 0}, TextCase{"", 0}, TextCase{" Debug", 0}));

TEST(LogLevelToText, TableLookupWithEmptyTextOutside)
{
    EXPECT_EQ(LogLevelValueToText(0), "Events & Errors");
    EXPECT_EQ(LogLevelValueToText(1), "Debug");
    EXPECT_EQ(LogLevelValueToText(2), "");
    EXPECT_EQ(LogLevelValueToText(-1), "");
}

TEST_P(IntegerFromText, ReadsLikeAtoiWithoutOverflow)
{
    EXPECT_EQ(ReadInteger(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerFromText,
    ::testing::Values(IntegerCase{"", 0}, IntegerCase{"0", 0}, IntegerCase{"42", 42}, IntegerCase{"-17", -17},
                      IntegerCase{"+8", 8}, IntegerCase{"007", 7}, IntegerCase{" 3abc", 3},
                      IntegerCase{"\t\n\v\f\r 12", 12}, IntegerCase{"12 34", 12}, IntegerCase{"abc", 0},
                      IntegerCase{"true", 0}, IntegerCase{"-", 0}, IntegerCase{"+", 0}, IntegerCase{"--5", 0},
                      IntegerCase{"+-5", 0}, IntegerCase{"- 5", 0}, IntegerCase{"0x1F", 0}, IntegerCase{"1e5", 1},
                      IntegerCase{"2.9", 2}, IntegerCase{"\xc2\xa0" "5", 0},   // a no-break space is not white space
                      IntegerCase{"2147483647", INT32_MAX}, IntegerCase{"2147483648", INT32_MAX},
                      IntegerCase{"-2147483648", INT32_MIN}, IntegerCase{"-2147483649", INT32_MIN},
                      IntegerCase{"99999999999999999999999999999999", INT32_MAX},
                      IntegerCase{"-00000000000000000000000000000001", -1},
                      IntegerCase{"4294967301", INT32_MAX}));   // would wrap to 5 in 32 bits

TEST(IntegerToText, BaseTenWithMinusSign)
{
    EXPECT_EQ(WriteInteger(0), "0");
    EXPECT_EQ(WriteInteger(26214400), "26214400");
    EXPECT_EQ(WriteInteger(-5), "-5");
    EXPECT_EQ(WriteInteger(INT32_MIN), "-2147483648");
    EXPECT_EQ(ReadInteger(WriteInteger(INT32_MIN)), INT32_MIN);
}
