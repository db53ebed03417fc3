// Feeds arbitrary settings files and names to the profile reader, and what it reads to the number
// reader. Layout of an input: one byte with the section name's length (mod 32), one with
// the key name's length (mod 32), the section name, the key name, then the file's bytes.
//
// Beside crash-freedom it checks the reader against a plain reference that holds the whole file
// and every whole line, and the number reader against strtod where their grammars agree.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "base/ascii.h"
#include "base/errors.h"
#include "settings/numeric.h"
#include "settings/profile_format.h"

namespace {

using cw::EqualsIgnoringCase;
using cw::TrimBlanks;

// The reading rules, written the obvious way with whole lines in memory.
std::string Reference(std::string_view file, std::string_view section, std::string_view key,
                      std::string_view default_value) {
  if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
  bool in_section = false;
  for (size_t start = 0, end; start <= file.size(); start = end + 1) {
    end = std::min(file.find_first_of("\r\n", start), file.size());
    const std::string_view line = TrimBlanks(file.substr(start, end - start));
    const size_t close = line.find(']'), eq = line.find('=');
    if (line.starts_with('[') && close != std::string_view::npos) {
      if (in_section) break;
      in_section = EqualsIgnoringCase(TrimBlanks(line.substr(1, close - 1)), TrimBlanks(section));
    } else if (in_section && !line.starts_with('[') && !line.starts_with(';') &&
               eq != std::string_view::npos &&
               EqualsIgnoringCase(TrimBlanks(line.substr(0, eq)), TrimBlanks(key))) {
      std::string_view value = TrimBlanks(line.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value.substr(0, cw::kMaxProfileValue));
    }
  }
  return std::string(default_value);
}

// The number reader against strtod, where the text holds only what both grammars know.
void CheckNumber(std::string_view text) {
  double value = 0;
  bool overflow = false;
  try {
    value = cw::NumericValue(text);
  } catch (const cw::OverflowError&) {
    overflow = true;
  }
  std::string plain;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    if (std::string_view("0123456789+-.eEdD").find(c) == std::string_view::npos) return;
    plain += (c == 'd' || c == 'D') ? 'e' : c;
  }
  errno = 0;
  const double expected = std::strtod(plain.c_str(), nullptr);
  // An overflow must be refused; an underflow reads as about 0.
  const bool huge = errno == ERANGE && std::isinf(expected), tiny = errno == ERANGE && !huge;
  if (huge ? !overflow : overflow || (tiny ? std::fabs(value) > 1e-300 : value != expected))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view section = input.substr(2, static_cast<uint8_t>(input[0]) % 32);
  const std::string_view key =
      input.substr(2 + section.size(), static_cast<uint8_t>(input[1]) % 32);
  const std::string_view file = input.substr(2 + section.size() + key.size());

  // Longer than any value, so it can never be mistaken for one.
  const std::string default_value(cw::kMaxProfileValue + 5, 'D');
  std::istringstream stream{std::string(file)};
  const std::string value = cw::ReadProfileValue(stream, section, key, default_value);
  if (value != default_value && value.size() > cw::kMaxProfileValue) __builtin_trap();
  if (value != Reference(file, section, key, default_value)) __builtin_trap();

  CheckNumber(value == default_value ? file.substr(0, 64) : std::string_view(value));
  CheckNumber(key);
  return 0;
}
