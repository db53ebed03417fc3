#include "settings/numeric.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "base/errors.h"

namespace cw {
namespace {

using namespace std::string_literals;

// The result, or nullopt for an overflow.
template <typename Read>
auto Try(Read read) -> std::optional<decltype(read())> {
  try {
    return read();
  } catch (const OverflowError&) {
    return std::nullopt;
  }
}

TEST(Numeric, ReadsTheLeadingNumber) {
  const std::pair<std::string, double> rows[] = {
      {"2.5", 2.5},  {" 1 0 ", 10},   {"\t1\n2", 12},    {"1\r2", 1}, {"&HFF", 255},
      {"&o17", 15},  {"& H 1 0", 16}, {"&O19", 1},       {"&X12", 0}, {"-&H10", 0},
      {"1e3", 1000}, {"1D2", 100},    {"1d-2", 0.01},    {"1E+", 1},  {"abc", 0},
      {"", 0},       {".5", 0.5},     {"1.2.3", 1.2},    {"--1", 0},  {"- 7", -7},
      {"1,5", 1},    {"1E-400", 0},   {"12\00034"s, 12},
  };
  for (const auto& [text, expected] : rows) EXPECT_DOUBLE_EQ(NumericValue(text), expected) << text;
  for (const std::string& text : {"1E400"s, "-1E400"s, "1" + std::string(400, '0')})
    EXPECT_EQ(Try([&] { return NumericValue(text); }), std::nullopt) << text;
}

TEST(Numeric, RoundsHalvesToEvenAndRefusesWhatDoesNotFit) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr std::nullopt_t kOver = std::nullopt;
  // value, its 16-bit result, its 32-bit result
  const std::tuple<double, std::optional<int>, std::optional<int64_t>> rows[] = {
      {2.5, 2, 2},
      {3.5, 4, 4},
      {-0.5, 0, 0},
      {-2.5, -2, -2},
      {2.5001, 3, 3},
      {32767.4, 32767, 32767},
      {32767.5, kOver, 32768},
      {-32768.5, -32768, -32768},
      {-32768.6, kOver, -32769},
      {2147483647.4, kOver, 2147483647},
      {2147483647.5, kOver, kOver},
      {-2147483648.5, kOver, -2147483648LL},
      {-2147483648.6, kOver, kOver},
      {kNaN, kOver, kOver},
  };
  for (const auto& [value, as16, as32] : rows) {
    EXPECT_EQ(Try([&] { return RoundToInt16(value); }), as16) << value;
    EXPECT_EQ(Try([&] { return RoundToInt32(value); }), as32) << value;
  }
}

TEST(Numeric, SwitchesTrimsAndLineEscapes) {
  EXPECT_FALSE(SwitchIsOn("0"));
  for (const std::string& on : {""s, "1"s, "00"s, " 0"s, "off"s, "0\0"s})
    EXPECT_TRUE(SwitchIsOn(on));
  EXPECT_EQ(TrimSpaces(" \ta b\t "), "\ta b\t");
  EXPECT_EQ(TrimSpaces(" \0 "s), "\0"s);
  EXPECT_EQ(ResolveLineEscapes("X: 1\\r\\nY\\N\\R"), "X: 1\r\nY\\N\\R");
  EXPECT_EQ(ResolveLineEscapes("\\\\n\\"), "\\\n\\");
  EXPECT_EQ(ResolveLineEscapes("\\\0n"s), "\\\0n"s);
}

}  // namespace
}  // namespace cw
