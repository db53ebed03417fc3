#include "convert/conversions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace cw {
namespace {

// Each conversion is checked byte by byte against a reference nobody here wrote: Python's codecs
// and urllib, and the published GSM 03.38 alphabet. Since every conversion maps each byte on its
// own, the 256 single bytes and one long line of all of them prove the whole table.
using Table = std::vector<std::string>;  // the expected output of byte 0..255

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

// What a shell command writes to its standard output, NULs included.
std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}

// A Python expression of b (0..255) giving bytes, evaluated for every byte.
Table FromPython(const std::string& expression) {
  const std::string hex = Run("python3 -c \"import urllib.parse\nfor b in range(256): print((" +
                              expression + ").hex())\"");
  Table table;
  std::istringstream lines(hex);
  for (std::string line; std::getline(lines, line);) {
    std::string bytes;
    for (size_t i = 0; i + 1 < line.size(); i += 2)
      bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    table.push_back(bytes);
  }
  return table;
}

// The GSM 03.38 default alphabet as Latin-1 code points (position 27, the escape, holds none).
constexpr int kGsm0338[128] = {
    0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC, 0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,
    -1,   0x5F, -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,   0xC6, 0xE6, 0xDF, 0xC9,
    0x20, 0x21, 0x22, 0x23, 0xA4, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0xA1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xC4, 0xD6, 0xD1, 0xDC, 0xA7,
    0xBF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xE4, 0xF6, 0xF1, 0xFC, 0xE0,
};

// The IA5 conversion moves 31 Latin-1 characters to their alphabet positions (not the ASCII ones
// that sit where ASCII has them, nor CR, LF and the currency sign) and the backslash to a line
// feed; whatever is still above 127 becomes "*".
Table Ia5Table() {
  Table table;
  for (int b = 0; b < 256; ++b) table.push_back(b <= 127 ? Byte(b) : "*");
  for (int position = 0; position < 128; ++position) {
    const int code = kGsm0338[position];
    if (code > 0 && code != position && code != 0xA4 && code != 0x0A && code != 0x0D)
      table[code] = Byte(position);
  }
  table['\\'] = "\n";
  return table;
}

struct Case {
  const char* name;
  std::string (*convert)(std::string_view);
  Table (*reference)();
};

const Case kCases[] = {
    // Code page 850 for the letters the DOS conversion knows; every other byte above "~" is "~".
    {"DOS", ConvISOtoDOS,
     [] {
       return FromPython(
           "bytes([b]) if b < 127 else bytes([b]).decode('latin-1').encode('cp850') if "
           "chr(b) in '\\xc4\\xc5\\xd6\\xe4\\xe5\\xf6\\xb0\\xb3' else b'~'");
     }},
    {"IA5", ConvISOtoIA5, Ia5Table},
    {"UTF8", ConvISOtoUTF8, [] { return FromPython("bytes([b]).decode('latin-1').encode()"); }},
    // quote() always keeps "." and "-", which the conversion encodes.
    {"HTML", ConvISOtoHTML,
     [] {
       return FromPython(
           "{'.': '%2E', '-': '%2D'}.get(*[urllib.parse.quote(bytes([b]), "
           "safe=''.join(map(chr, range(48, 127))))]*2).encode()");
     }},
};

TEST(Conversions, EveryByteMatchesItsReferenceAlsoInsideALongLine) {
  for (const Case& c : kCases) {
    const Table table = c.reference();
    ASSERT_EQ(table.size(), 256u) << c.name;
    // Longer than a 16-bit count: a length limit or carried state would show here.
    std::string line, expected;
    for (int b = 0; b < 256 * 160; ++b) {
      if (b < 256) {
        EXPECT_EQ(c.convert(Byte(b)), table[b]) << c.name << " byte " << b;
      }
      line += Byte(b % 256);
      expected += table[b % 256];
    }
    EXPECT_EQ(c.convert(line), expected) << c.name;
  }
}

}  // namespace
}  // namespace cw
