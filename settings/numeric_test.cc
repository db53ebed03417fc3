#include "settings/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/errors.h"

namespace cw {
namespace {

struct ValueCase {
  std::string text;
  double expected;
};

TEST(NumericValueTest, ReadsTheLeadingNumberLikeVal) {
  const ValueCase cases[] = {
      {"2.5", 2.5},
      {" 1 0 ", 10},
      {"1 2.5", 12.5},
      {"\t1\n2", 12},
      {"1\r2", 1},  // a carriage return is not skipped
      {"&HFF", 255},
      {"&hff", 255},
      {"&O17", 15},
      {"&o17", 15},
      {"& H 1 0", 16},
      {"&O19", 1},
      {"&HFFzz", 255},
      {"&H", 0},
      {"&", 0},
      {"&X12", 0},
      {"-&H10", 0},
      {"1E3", 1000},
      {"1e3", 1000},
      {"1D2", 100},
      {"1d-2", 0.01},
      {"1E+2", 100},
      {"1E", 1},
      {"1E+", 1},
      {"1D-x", 1},
      {"2.5E1", 25},
      {"-0.5", -0.5},
      {"1.5", 1.5},
      {"abc", 0},
      {"", 0},
      {".", 0},
      {"-", 0},
      {"+", 0},
      {"E5", 0},
      {".5", 0.5},
      {"5.", 5},
      {"1.2.3", 1.2},
      {"12abc", 12},
      {"--1", 0},
      {"+-1", 0},
      {"+5", 5},
      {"- 7", -7},
      {"007", 7},
      {"1,5", 1},  // the comma is never a decimal point
      {"1E-400", 0},
      {"0E99999999999999999999", 0},
      {"0.000000000000000000001E21", 1},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(NumericValue(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(NumericValueTest, StopsAtANulByte) {
  EXPECT_EQ(NumericValue(std::string("12\0"
                                     "34",
                                     5)),
            12);
}

TEST(NumericValueTest, BeyondTheDoubleRangeIsAnOverflow) {
  EXPECT_THROW(NumericValue("1E400"), OverflowError);
  EXPECT_THROW(NumericValue("-1E400"), OverflowError);
  EXPECT_THROW(NumericValue("1E99999999999999999999"), OverflowError);
  EXPECT_THROW(NumericValue("1" + std::string(400, '0')), OverflowError);
  EXPECT_THROW(NumericValue("&H" + std::string(300, 'F')), OverflowError);
  EXPECT_DOUBLE_EQ(NumericValue("1E308"), 1e308);
}

TEST(RoundTest, HalvesGoToTheEvenNeighbour) {
  const std::pair<double, int> cases[] = {
      {2.5, 2},   {1.5, 2},    {3.5, 4},    {0.5, 0},   {-0.5, 0}, {-1.5, -2},
      {-2.5, -2}, {2.4999, 2}, {2.5001, 3}, {-2.6, -3}, {0.0, 0},  {-0.0, 0},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(RoundToInt32(value), expected) << value;
    EXPECT_EQ(RoundToInt16(value), expected) << value;
  }
  EXPECT_EQ(RoundToInt16(NumericValue("2.5")), 2);
  EXPECT_EQ(RoundToInt16(NumericValue("-0.5")), 0);
}

TEST(RoundTest, SixteenBitLimits) {
  EXPECT_EQ(RoundToInt16(32767.4), 32767);
  EXPECT_EQ(RoundToInt16(-32768.5), -32768);
  EXPECT_EQ(RoundToInt16(-32767.5), -32768);
  EXPECT_THROW(RoundToInt16(32767.5), OverflowError);
  EXPECT_THROW(RoundToInt16(32768), OverflowError);
  EXPECT_THROW(RoundToInt16(-32768.6), OverflowError);
  EXPECT_THROW(RoundToInt16(-32769), OverflowError);
  EXPECT_THROW(RoundToInt16(NumericValue("&H8000")), OverflowError);
  EXPECT_EQ(RoundToInt16(NumericValue("&H7FFF")), 32767);
}

TEST(RoundTest, ThirtyTwoBitLimits) {
  EXPECT_EQ(RoundToInt32(2147483647.4), 2147483647);
  EXPECT_EQ(RoundToInt32(-2147483648.5), std::numeric_limits<int32_t>::min());
  EXPECT_THROW(RoundToInt32(2147483647.5), OverflowError);
  EXPECT_THROW(RoundToInt32(2147483648.0), OverflowError);
  EXPECT_THROW(RoundToInt32(-2147483648.6), OverflowError);
  EXPECT_THROW(RoundToInt32(1e300), OverflowError);
}

TEST(RoundTest, NotANumberOrInfinityIsAnOverflow) {
  EXPECT_THROW(RoundToInt32(std::numeric_limits<double>::quiet_NaN()), OverflowError);
  EXPECT_THROW(RoundToInt16(std::numeric_limits<double>::infinity()), OverflowError);
  EXPECT_THROW(RoundToInt32(-std::numeric_limits<double>::infinity()), OverflowError);
}

// The scan interval is seconds times 1000, held as 32-bit milliseconds.
TEST(RoundTest, ScanIntervalInMilliseconds) {
  EXPECT_EQ(RoundToInt32(NumericValue("2.5") * 1000), 2500);
  EXPECT_EQ(RoundToInt32(NumericValue("0.0015") * 1000), 2);  // 1.5 ms, to the even neighbour
  EXPECT_EQ(RoundToInt32(NumericValue("2147483.647") * 1000), 2147483647);
  EXPECT_THROW(RoundToInt32(NumericValue("2147483.648") * 1000), OverflowError);
  EXPECT_EQ(RoundToInt32(NumericValue("-2147483.648") * 1000), -2147483647 - 1);
  EXPECT_THROW(RoundToInt32(NumericValue("-2147483.649") * 1000), OverflowError);
}

TEST(SwitchTest, OnUnlessExactlyZero) {
  EXPECT_FALSE(SwitchIsOn("0"));
  for (const char* on : {"", "1", "00", " 0", "0 ", "off", "O", "false"}) {
    EXPECT_TRUE(SwitchIsOn(on)) << '"' << on << '"';
  }
  EXPECT_TRUE(SwitchIsOn(std::string("0\0", 2)));
}

TEST(TrimSpacesTest, OnlySpacesAtTheEnds) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimSpaces(" \ta "), "\ta");
  EXPECT_EQ(TrimSpaces("    "), "");
  EXPECT_EQ(TrimSpaces(""), "");
  EXPECT_EQ(TrimSpaces(std::string(" \0 ", 3)), std::string("\0", 1));
}

TEST(LineEscapesTest, LineFeedThenCarriageReturn) {
  EXPECT_EQ(ResolveLineEscapes("a\\nb"), "a\nb");
  EXPECT_EQ(ResolveLineEscapes("a\\rb"), "a\rb");
  EXPECT_EQ(ResolveLineEscapes("X: 1\\r\\nY: 2\\r\\n"), "X: 1\r\nY: 2\r\n");
  EXPECT_EQ(ResolveLineEscapes("\\n\\n"), "\n\n");
  EXPECT_EQ(ResolveLineEscapes("\\N\\R"), "\\N\\R");
  EXPECT_EQ(ResolveLineEscapes("\\\\n"), "\\\n");
  EXPECT_EQ(ResolveLineEscapes("\\"), "\\");
  EXPECT_EQ(ResolveLineEscapes("n\\"), "n\\");
  EXPECT_EQ(ResolveLineEscapes(std::string("\\\0n", 3)), std::string("\\\0n", 3));
}

// Header values are trimmed before the escapes are resolved, so an escaped line end survives.
TEST(LineEscapesTest, TrimmingComesFirst) {
  EXPECT_EQ(ResolveLineEscapes(TrimSpaces("  A: b\\r\\n  ")), "A: b\r\n");
}

}  // namespace
}  // namespace cw
