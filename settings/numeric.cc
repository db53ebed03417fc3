#include "settings/numeric.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
namespace {

// Val() skips these wherever they stand, so "1 000" is a thousand.
bool IsIgnored(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next character of text, '\0' at its end.
char Front(std::string_view text) { return text.empty() ? '\0' : text.front(); }

// "&H..." or "&O...": an unsigned whole number. It is summed up as a double, so a very long text
// loses its low digits like any large double and only overflows past the double range (some 256
// hex digits); the result is never read as a negative two's-complement pattern.
double RadixValue(std::string_view& rest, int radix) {
  double value = 0;
  while (!rest.empty()) {
    const int digit = HexDigit(rest.front());
    if (digit < 0 || digit >= radix) break;
    value = value * radix + digit;
    if (std::isinf(value)) throw OverflowError();
    rest.remove_prefix(1);
  }
  return value;
}

// Keeps an exponent from wrapping; anything this large is out of the double range anyway.
constexpr int64_t kExponentLimit = 1'000'000'000;

// The exponent after a mantissa ("E" or "D", a sign, digits), held below kExponentLimit; 0 where
// there is none. "1E" and "1E+" keep the mantissa: an exponent without digits is no exponent.
int64_t ReadExponent(std::string_view& rest) {
  int64_t exponent = 0;
  const char mark = FoldCase(Front(rest));
  if (mark != 'e' && mark != 'd') return 0;
  rest.remove_prefix(1);
  bool negative = false;
  if (Front(rest) == '+' || Front(rest) == '-') {
    negative = Front(rest) == '-';
    rest.remove_prefix(1);
  }
  while (IsDigit(Front(rest))) {
    if (exponent < kExponentLimit) exponent = exponent * 10 + (Front(rest) - '0');
    rest.remove_prefix(1);
  }
  return negative ? -exponent : exponent;
}

// The plain form's value. magnitude: the number's size in powers of ten, which tells an overflow
// from an underflow: tiny numbers are 0 to Val(); only one too large for a double is an error.
double PlainNumber(const std::string& plain, bool negative, int64_t magnitude) {
  double value = 0;
  const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value,
                                         std::chars_format::scientific);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude > 0) throw OverflowError();
    return negative ? -0.0 : 0.0;
  }
  if (ec != std::errc() || std::isinf(value)) throw OverflowError();
  return value;
}

}  // namespace

double NumericValue(std::string_view text) {
  // Val() skips the ignored characters wherever they stand: read as if they were not there.
  std::string kept(text);
  std::erase_if(kept, IsIgnored);
  std::string_view rest = kept;
  if (Front(rest) == '&') {
    rest.remove_prefix(1);
    const char kind = FoldCase(Front(rest));
    if (kind == 'h' || kind == 'o') {
      rest.remove_prefix(1);
      return RadixValue(rest, kind == 'h' ? 16 : 8);
    }
    return 0;
  }

  bool negative = false;
  if (Front(rest) == '+' || Front(rest) == '-') {
    negative = Front(rest) == '-';
    rest.remove_prefix(1);
  }
  auto take_digits = [&rest] {
    const std::string_view digits = rest.substr(0, rest.find_first_not_of("0123456789"));
    rest.remove_prefix(digits.size());
    return digits;
  };
  const std::string_view whole = take_digits();
  const bool point = Front(rest) == '.';
  if (point) rest.remove_prefix(1);
  const std::string_view fraction = point ? take_digits() : std::string_view();
  if (whole.empty() && fraction.empty()) return 0;
  const size_t first_whole = whole.find_first_not_of('0');
  const size_t first_fraction = fraction.find_first_not_of('0');
  if (first_whole == std::string_view::npos && first_fraction == std::string_view::npos)
    return negative ? -0.0 : 0.0;
  // The number's size in powers of ten before its exponent, to tell an overflow from an
  // underflow: its significant digits before the point, or less the zeros after the point.
  const int64_t magnitude = first_whole != std::string_view::npos
                                ? static_cast<int64_t>(whole.size() - first_whole)
                                : -static_cast<int64_t>(first_fraction);
  const int64_t exponent = ReadExponent(rest);
  // A plain form that from_chars reads the same under every locale: [-]digits[.digits]e[-]digits.
  std::string plain = negative ? "-" : "";
  plain += whole;
  if (point) {
    plain += '.';
    plain += fraction;
  }
  return PlainNumber(plain + "e" + std::to_string(exponent), negative, magnitude + exponent);
}

namespace {

// Nearest whole number, an exact half to the even neighbour, whatever the FPU rounding mode.
double RoundHalfEven(double value) {
  if (!std::isfinite(value)) throw OverflowError();
  const double floor = std::floor(value);
  const double fraction = value - floor;  // exact for every finite double
  if (fraction > 0.5) return floor + 1;
  if (fraction < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

template <typename Int>
Int RoundTo(double value) {
  const double rounded = RoundHalfEven(value);
  if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<Int>::max())) {
    throw OverflowError();
  }
  return static_cast<Int>(rounded);
}

}  // namespace

int32_t RoundToInt32(double value) { return RoundTo<int32_t>(value); }

int16_t RoundToInt16(double value) { return RoundTo<int16_t>(value); }

bool SwitchIsOn(std::string_view value) { return value != "0"; }

std::string TrimSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

namespace {

// Every two-byte sequence "\" letter becomes replacement, scanning left to right without overlap.
std::string ReplaceEscape(std::string_view text, char letter, char replacement) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == letter) {
      out += replacement;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string ResolveLineEscapes(std::string_view text) {
  // Line feeds first, then carriage returns: "\r\n" becomes CR LF, and "\\n" a backslash and LF.
  return ReplaceEscape(ReplaceEscape(text, 'n', '\n'), 'r', '\r');
}

}  // namespace cw
