#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Reads a settings value the way atoi does: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits give 0. A value beyond the
// 32-bit range is held at the nearest bound instead of overflowing.
std::int32_t ReadInteger(std::string_view text);

// Base 10, with a leading minus sign for negative values.
std::string WriteInteger(std::int32_t value);
