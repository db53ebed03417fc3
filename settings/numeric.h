#pragma once
// How a setting's text becomes a number, a switch or a text ready to use.
#include <cstdint>
#include <string>
#include <string_view>

namespace cw {

// The number at the start of text: blanks, tabs and line feeds are ignored wherever they stand; an
// optional sign, digits, at most one full stop (whatever the locale) and an optional exponent
// (E or D) are read up to the first other character; "&H" and "&O" introduce a hexadecimal or
// octal integer. A text without a leading number is 0. Throws OverflowError when the number is
// beyond the range of a double.
double NumericValue(std::string_view text);

// The nearest whole number, an exact half going to the even neighbour. Throws OverflowError when
// the result does not fit the signed target type (the caller's setting then stays 0).
int32_t RoundToInt32(double value);
int16_t RoundToInt16(double value);

// A conversion switch is on unless its value is exactly "0".
bool SwitchIsOn(std::string_view value);

// Removes spaces (not tabs) at both ends.
std::string TrimSpaces(std::string_view text);

// Replaces every "\n" by a line feed, then every "\r" by a carriage return (case-sensitive; there
// is no escape for the backslash itself).
std::string ResolveLineEscapes(std::string_view text);

}  // namespace cw
