// Feeds arbitrary bytes through every combination of the four line conversions, always in the
// order the scan cycle applies them, and stops at the first broken length or output rule.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "convert/conversions.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "convert_fuzz: %s\n", what);
    std::abort();
  }
}

std::size_t Count(std::string_view text, bool (*pred)(unsigned char)) {
  std::size_t n = 0;
  for (char c : text) n += pred(static_cast<unsigned char>(c)) ? 1 : 0;
  return n;
}

bool IsHigh(unsigned char c) { return c >= 128; }
bool IsEncoded(unsigned char c) { return c < 48 || c > 126; }
bool IsDosOutput(unsigned char c) {
  return c <= 126 || c == 142 || c == 143 || c == 153 || c == 132 || c == 134 || c == 148 ||
         c == 248 || c == 252;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lowercase would be a fault too
}

std::string Dos(std::string_view in) {
  std::string out = cw::ConvISOtoDOS(in);
  Check(out.size() == in.size(), "DOS changed the length");
  Check(Count(out, IsDosOutput) == out.size(), "DOS left a byte above ~ that is no 850 code");
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (static_cast<unsigned char>(in[i]) <= 126) Check(out[i] == in[i], "DOS changed ASCII");
  }
  return out;
}

std::string Ia5(std::string_view in) {
  std::string out = cw::ConvISOtoIA5(in);
  Check(out.size() == in.size(), "IA5 changed the length");
  Check(Count(out, IsHigh) == 0, "IA5 left a byte above 127");
  return out;
}

std::string Utf8(std::string_view in) {
  std::string out = cw::ConvISOtoUTF8(in);
  Check(out.size() == in.size() + Count(in, IsHigh), "UTF-8 length is not n + high bytes");
  // Decode it again: it must give back the input byte for byte.
  std::size_t j = 0;
  for (char c : in) {
    const unsigned char k = static_cast<unsigned char>(c);
    if (k < 128) {
      Check(out[j++] == c, "UTF-8 changed ASCII");
    } else {
      const unsigned char lead = static_cast<unsigned char>(out[j++]);
      const unsigned char trail = static_cast<unsigned char>(out[j++]);
      Check(lead == 0xC2 || lead == 0xC3, "UTF-8 lead byte");
      Check((trail & 0xC0) == 0x80, "UTF-8 trail byte");
      Check((((lead & 0x03) << 6) | (trail & 0x3F)) == k, "UTF-8 does not decode to the input");
    }
  }
  return out;
}

std::string Html(std::string_view in) {
  std::string out = cw::ConvISOtoHTML(in);
  Check(out.size() == in.size() + 2 * Count(in, IsEncoded), "HTML length is not n + 2 * encoded");
  std::size_t j = 0;
  for (char c : in) {
    const unsigned char k = static_cast<unsigned char>(c);
    if (!IsEncoded(k)) {
      Check(out[j++] == c, "HTML changed a kept byte");
    } else {
      Check(out[j] == '%', "HTML escape without %");
      const int hi = HexValue(out[j + 1]), lo = HexValue(out[j + 2]);
      Check(hi >= 0 && lo >= 0 && hi * 16 + lo == k, "HTML escape does not decode to the input");
      j += 3;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Bit 0 DOS, 1 IA5, 2 UTF-8, 3 HTML: every selection of switches, applied in scan order.
  for (int mask = 1; mask < 16; ++mask) {
    std::string line = input;
    if (mask & 1) line = Dos(line);
    if (mask & 2) line = Ia5(line);
    if (mask & 4) line = Utf8(line);
    if (mask & 8) line = Html(line);
  }
  return 0;
}
