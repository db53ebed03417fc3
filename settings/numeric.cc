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

// Walks the text as if the ignored characters were not there.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) { Skip(); }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void Next() {
    ++pos_;
    Skip();
  }

 private:
  void Skip() {
    while (pos_ < text_.size() && IsIgnored(text_[pos_])) ++pos_;
  }
  std::string_view text_;
  size_t pos_ = 0;
};

// "&H..." or "&O...": an unsigned whole number. It is summed up as a double, so a very long text
// loses its low digits like any large double and only overflows past the double range (some 256
// hex digits); the result is never read as a negative two's-complement pattern.
double RadixValue(Cursor& cur, int radix) {
  double value = 0;
  while (!cur.AtEnd()) {
    const int digit = HexDigit(cur.Peek());
    if (digit < 0 || digit >= radix) break;
    value = value * radix + digit;
    if (std::isinf(value)) throw OverflowError();
    cur.Next();
  }
  return value;
}

// Keeps an exponent from wrapping; anything this large is out of the double range anyway.
constexpr int64_t kExponentLimit = 1'000'000'000;

// The exponent after a mantissa ("E" or "D", a sign, digits), held below kExponentLimit; 0 where
// there is none. "1E" and "1E+" keep the mantissa: an exponent without digits is no exponent.
int64_t ReadExponent(Cursor& cur) {
  int64_t exponent = 0;
  const char mark = FoldCase(cur.Peek());
  if (mark != 'e' && mark != 'd') return 0;
  cur.Next();
  bool negative = false;
  if (cur.Peek() == '+' || cur.Peek() == '-') {
    negative = cur.Peek() == '-';
    cur.Next();
  }
  while (IsDigit(cur.Peek())) {
    if (exponent < kExponentLimit) exponent = exponent * 10 + (cur.Peek() - '0');
    cur.Next();
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
  Cursor cur(text);
  if (cur.Peek() == '&') {
    cur.Next();
    const char kind = FoldCase(cur.Peek());
    if (kind == 'h' || kind == 'o') {
      cur.Next();
      return RadixValue(cur, kind == 'h' ? 16 : 8);
    }
    return 0;
  }

  // The number is copied, without the ignored characters, into a plain form that from_chars reads
  // the same under every locale: [-]digits[.digits][e[-]digits].
  std::string clean;
  bool negative = false;
  if (cur.Peek() == '+' || cur.Peek() == '-') {
    negative = cur.Peek() == '-';
    cur.Next();
  }
  if (negative) clean += '-';

  // Magnitude of the number in powers of ten, to tell an overflow from an underflow below.
  int64_t int_digits = 0;          // significant digits before the point
  int64_t leading_frac_zeros = 0;  // zeros after the point before the first significant digit
  bool any_digit = false;
  bool significant = false;
  while (IsDigit(cur.Peek())) {
    any_digit = true;
    if (cur.Peek() != '0') significant = true;
    if (significant) ++int_digits;
    clean += cur.Peek();
    cur.Next();
  }
  if (cur.Peek() == '.') {
    clean += '.';
    cur.Next();
    while (IsDigit(cur.Peek())) {
      any_digit = true;
      if (cur.Peek() != '0') significant = true;
      if (!significant) ++leading_frac_zeros;
      clean += cur.Peek();
      cur.Next();
    }
  }
  if (!any_digit) return 0;
  if (!significant) return negative ? -0.0 : 0.0;

  const int64_t exponent = ReadExponent(cur);
  clean += 'e';
  clean += std::to_string(exponent);

  return PlainNumber(clean, negative,
                     (int_digits > 0 ? int_digits : -leading_frac_zeros) + exponent);
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
