// Feeds arbitrary bytes through every selection of the four line conversions, in the order the
// scan cycle applies them, and stops at the first output that breaks a rule. Each conversion maps
// every byte on its own, so a whole line must equal its bytes converted one at a time; UTF-8 and
// the URL encoding are also checked against their definitions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "convert/conversions.h"

namespace {

using Conversion = std::string (*)(std::string_view);

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "convert_fuzz: %s\n", what);
    std::abort();
  }
}

std::string Utf8(std::string_view in) {
  std::string out;
  for (unsigned char c : in) {
    if (c >= 128) out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(c < 128 ? c : 0x80 | (c & 0x3F));
  }
  return out;
}

std::string PercentEncoded(std::string_view in) {
  std::string out;
  for (unsigned char c : in) {
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    out += (c < 48 || c > 126) ? std::string(escape) : std::string(1, static_cast<char>(c));
  }
  return out;
}

std::string Apply(Conversion convert, std::string_view in, const char* name) {
  std::string out = convert(in), byte_by_byte;
  for (const char& c : in) byte_by_byte += convert(std::string_view(&c, 1));
  Check(out == byte_by_byte, name);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Bit 0 DOS, 1 IA5, 2 UTF-8, 3 HTML: every selection of switches, applied in scan order.
  for (int mask = 1; mask < 16; ++mask) {
    std::string line = input;
    if (mask & 1) {
      line = Apply(cw::ConvISOtoDOS, line, "DOS is not byte by byte");
      Check(line.size() == input.size(), "DOS changed the length");
    }
    if (mask & 2) {
      line = Apply(cw::ConvISOtoIA5, line, "IA5 is not byte by byte");
      Check(line.size() == input.size(), "IA5 changed the length");
      for (unsigned char c : line) Check(c < 128, "IA5 left a byte above 127");
    }
    if (mask & 4) {
      const std::string out = Apply(cw::ConvISOtoUTF8, line, "UTF-8 is not byte by byte");
      Check(out == Utf8(line), "UTF-8 differs from the encoding of Latin-1");
      line = out;
    }
    if (mask & 8) {
      Check(Apply(cw::ConvISOtoHTML, line, "HTML is not byte by byte") == PercentEncoded(line),
            "HTML differs from %XX for every byte outside 0..~");
    }
  }
  return 0;
}
