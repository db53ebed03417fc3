#include "convert/conversions.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace cw {
namespace {

// The tables are checked against encoders that nobody here wrote: iconv the program and Python's
// own codecs. Both are installed with the build dependencies, so a missing one is a failure.

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

std::string AllBytes() {
  std::string all;
  for (int b = 0; b < 256; ++b) all += Byte(b);
  return all;
}

// Holds bytes in a file for a reference program to read; removed when the test ends.
class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    static int counter = 0;
    path_ = testing::TempDir() + "cw_conversions_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++);
    std::ofstream out(path_, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a shell command and returns everything it wrote to stdout, NULs included.
std::string RunReference(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot start: " << command;
    return output;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "reference program failed (status " << status << "): " << command;
  }
  return output;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// One hex line per byte 0..255, printed by a Python script.
std::vector<std::string> PythonPerByte(const std::string& script) {
  TempFile file(script);
  std::vector<std::string> lines = Split(RunReference("python3 " + file.path()), '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::vector<std::string> results;
  for (const std::string& line : lines) results.push_back(FromHex(line));
  return results;
}

TEST(ConvReference, DosKeysMatchIconvCodePage850) {
  // The keys as UTF-8 characters (this source file is UTF-8); iconv tells both their Latin-1
  // byte (what arrives in the file) and their position in code page 850 (what must leave).
  const std::vector<std::string> keys = {"Ä", "Å", "Ö", "ä", "å", "ö", "°", "³"};
  std::string joined;
  for (const std::string& key : keys) joined += key + "\n";
  TempFile file(joined);
  std::vector<std::string> latin1 =
      Split(RunReference("iconv -f UTF-8 -t ISO-8859-1 " + file.path()), '\n');
  std::vector<std::string> cp850 =
      Split(RunReference("iconv -f UTF-8 -t CP850 " + file.path()), '\n');
  ASSERT_EQ(latin1.size(), keys.size() + 1);
  ASSERT_EQ(cp850.size(), keys.size() + 1);

  std::string is_key(256, '\0');
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(latin1[i].size(), 1u) << keys[i];
    ASSERT_EQ(cp850[i].size(), 1u) << keys[i];
    EXPECT_EQ(ConvISOtoDOS(latin1[i]), cp850[i]) << keys[i];
    is_key[static_cast<unsigned char>(latin1[i][0])] = 1;
  }
  for (int b = 0; b < 256; ++b) {
    if (is_key[b]) continue;
    EXPECT_EQ(ConvISOtoDOS(Byte(b)), b <= '~' ? Byte(b) : "~") << "byte " << b;
  }
  // The superscript three leaves as the letter ü of the Western code page, byte 0xFC.
  TempFile u_umlaut(ConvISOtoDOS(Byte(0xB3)));
  EXPECT_EQ(RunReference("iconv -f CP1252 -t UTF-8 " + u_umlaut.path()), "ü");
}

TEST(ConvReference, Utf8OfAllBytesMatchesIconvAndPythonCodecs) {
  TempFile file(AllBytes());
  EXPECT_EQ(ConvISOtoUTF8(AllBytes()), RunReference("iconv -f ISO-8859-1 -t UTF-8 " + file.path()));

  std::vector<std::string> reference = PythonPerByte(
      "for b in range(256):\n"
      "    print(bytes([b]).decode('latin-1').encode('utf-8').hex())\n");
  ASSERT_EQ(reference.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(ConvISOtoUTF8(Byte(b)), reference[b]) << "byte " << b;
}

TEST(ConvReference, PercentEncodingOfAllBytesMatchesUrllibQuote) {
  // quote() keeps the given safe set (here 48..126) but always keeps "." and "-" as well, which
  // lie outside it; the script encodes those two afterwards. Its hex digits are uppercase.
  std::vector<std::string> reference = PythonPerByte(
      "import urllib.parse\n"
      "safe = ''.join(chr(c) for c in range(48, 127))\n"
      "for b in range(256):\n"
      "    q = urllib.parse.quote(bytes([b]), safe=safe)\n"
      "    q = {'.': '%2E', '-': '%2D'}.get(q, q)\n"
      "    print(q.encode('ascii').hex())\n");
  ASSERT_EQ(reference.size(), 256u);
  std::string whole;
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(ConvISOtoHTML(Byte(b)), reference[b]) << "byte " << b;
    whole += reference[b];
  }
  EXPECT_EQ(ConvISOtoHTML(AllBytes()), whole);
}

// The published GSM 03.38 default alphabet, position 0 to 127, as Unicode code points. Position 27
// is the escape to the extension table and holds no character.
constexpr char32_t kGsm0338[128] = {
    0x0040, 0x00A3, 0x0024, 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC,  // 0x00
    0x00F2, 0x00C7, 0x000A, 0x00D8, 0x00F8, 0x000D, 0x00C5, 0x00E5,  // 0x08
    0x0394, 0x005F, 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8,  // 0x10
    0x03A3, 0x0398, 0x039E, 0xFFFF, 0x00C6, 0x00E6, 0x00DF, 0x00C9,  // 0x18
    0x0020, 0x0021, 0x0022, 0x0023, 0x00A4, 0x0025, 0x0026, 0x0027,  // 0x20
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,  // 0x28
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,  // 0x30
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,  // 0x38
    0x00A1, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,  // 0x40
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,  // 0x48
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,  // 0x50
    0x0058, 0x0059, 0x005A, 0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7,  // 0x58
    0x00BF, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,  // 0x60
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,  // 0x68
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,  // 0x70
    0x0078, 0x0079, 0x007A, 0x00E4, 0x00F6, 0x00F1, 0x00FC, 0x00E0,  // 0x78
};

TEST(ConvReference, Ia5KeysSitAtTheirGsm0338Positions) {
  const std::vector<char32_t> keys = {U'@', U'£', U'$',  U'¥', U'è', U'é', U'ù', U'ì',
                                      U'ò', U'Ç', U'\\', U'Ø', U'ø', U'Å', U'å', U'_',
                                      U'Æ', U'æ', U'ß',  U'É', U'¡', U'Ä', U'Ö', U'Ñ',
                                      U'Ü', U'§', U'¿',  U'ä', U'ö', U'ñ', U'ü', U'à'};
  ASSERT_EQ(keys.size(), 32u);
  std::string is_key(256, '\0');
  for (char32_t key : keys) {
    ASSERT_LE(key, 0xFFu);
    is_key[key] = 1;
    int expected = -1;
    if (key == U'\\') {
      expected = 10;  // Not in the alphabet; ours: a line feed.
    } else {
      for (int p = 0; p < 128; ++p) {
        if (kGsm0338[p] == key) {
          EXPECT_EQ(expected, -1) << "twice in the alphabet: " << static_cast<int>(key);
          expected = p;
        }
      }
    }
    ASSERT_NE(expected, -1) << "not in the alphabet: " << static_cast<int>(key);
    EXPECT_EQ(ConvISOtoIA5(Byte(static_cast<int>(key))), Byte(expected)) << static_cast<int>(key);
  }
  // Everything else keeps its 7-bit code or becomes "*"; also ¤, which the alphabet has at 0x24.
  for (int b = 0; b < 256; ++b) {
    if (is_key[b]) continue;
    EXPECT_EQ(ConvISOtoIA5(Byte(b)), b <= 127 ? Byte(b) : "*") << "byte " << b;
  }
}

TEST(ConvEdgeCases, EmptyAndAlphanumericLinesPassAllFour) {
  const std::string plain = "Hello0123456789worldXYZ";
  for (auto* conv : {ConvISOtoDOS, ConvISOtoIA5, ConvISOtoUTF8, ConvISOtoHTML}) {
    EXPECT_EQ(conv(""), "");
    EXPECT_EQ(conv(plain), plain);
  }
}

TEST(ConvEdgeCases, Dos) {
  EXPECT_EQ(ConvISOtoDOS("\xC4"), "\x8E");
  EXPECT_EQ(ConvISOtoDOS("\xB3"), "\xFC");
  EXPECT_EQ(ConvISOtoDOS("\xFC\xE9\xDF\x7F"), "~~~~");
  EXPECT_EQ(ConvISOtoDOS("~ \t\r\n"), "~ \t\r\n");
  EXPECT_EQ(ConvISOtoDOS(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(ConvISOtoDOS("\x80\x9F\xA0"), "~~~");  // code page 1252's own 128..159 too
}

TEST(ConvEdgeCases, Ia5) {
  EXPECT_EQ(ConvISOtoIA5("a@b@"), std::string("a\0b\0", 4));  // the NUL does not end the line
  EXPECT_EQ(ConvISOtoIA5("x\\y"), "x\ny");
  EXPECT_EQ(ConvISOtoIA5("\xE0"), "\x7F");
  EXPECT_EQ(ConvISOtoIA5("\xE7\xEA\xA4\x80"), "****");  // ç ê ¤ and the euro sign
  EXPECT_EQ(ConvISOtoIA5("[~]{}"), "[~]{}");
  EXPECT_EQ(ConvISOtoIA5("$_"), "\x02\x11");
}

TEST(ConvEdgeCases, Utf8) {
  EXPECT_EQ(ConvISOtoUTF8("\xE9"), "\xC3\xA9");
  EXPECT_EQ(ConvISOtoUTF8("\xFF"), "\xC3\xBF");
  EXPECT_EQ(ConvISOtoUTF8("\x80"), "\xC2\x80");
  EXPECT_EQ(ConvISOtoUTF8(std::string("\0\x7F\xBF\xC0", 4)),
            std::string("\0\x7F\xC2\xBF\xC3\x80", 6));
}

TEST(ConvEdgeCases, Html) {
  EXPECT_EQ(ConvISOtoHTML(" %/\n\x05\x7F\xE9"), "%20%25%2F%0A%05%7F%E9");
  EXPECT_EQ(ConvISOtoHTML("0@~"), "0@~");
  EXPECT_EQ(ConvISOtoHTML(std::string("\0", 1)), "%00");
  EXPECT_EQ(ConvISOtoHTML("\xAB"), "%AB");  // uppercase hex
}

TEST(ConvEdgeCases, ChainsInScanOrder) {
  EXPECT_EQ(ConvISOtoUTF8(ConvISOtoDOS("\xC4")), "\xC2\x8E");
  EXPECT_EQ(ConvISOtoHTML(ConvISOtoDOS("\xC4")), "%8E");
  EXPECT_EQ(ConvISOtoIA5(ConvISOtoDOS("\xC4")), "*");
  EXPECT_EQ(ConvISOtoHTML(ConvISOtoIA5("@")), "%00");
  EXPECT_EQ(ConvISOtoHTML(ConvISOtoUTF8(ConvISOtoIA5(ConvISOtoDOS("\xB3\xE9 x")))), "~~%20x");
}

std::size_t CountIf(std::string_view text, bool (*pred)(unsigned char)) {
  std::size_t n = 0;
  for (char c : text) n += pred(static_cast<unsigned char>(c)) ? 1 : 0;
  return n;
}
bool IsHigh(unsigned char c) { return c >= 128; }
bool IsEncoded(unsigned char c) { return c < 48 || c > 126; }

std::string DecodePercent(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(ConvProperties, LengthsAndPerByteMappingOverRandomLines) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 300);
  std::string concatenated;
  std::string dos_parts, ia5_parts, utf8_parts, html_parts;
  for (int n = 0; n < 3000; ++n) {
    std::string line(static_cast<std::size_t>(length(rng)), '\0');
    for (char& c : line)
      c = static_cast<char>(n % 3 == 0 ? byte(rng) % 4 : byte(rng));  // many NULs
    const std::string dos = ConvISOtoDOS(line), ia5 = ConvISOtoIA5(line);
    const std::string utf8 = ConvISOtoUTF8(line), html = ConvISOtoHTML(line);
    ASSERT_EQ(dos.size(), line.size());
    ASSERT_EQ(ia5.size(), line.size());
    ASSERT_EQ(utf8.size(), line.size() + CountIf(line, IsHigh));
    ASSERT_EQ(html.size(), line.size() + 2 * CountIf(line, IsEncoded));
    ASSERT_EQ(CountIf(ia5, IsHigh), 0u);
    ASSERT_EQ(DecodePercent(html), line);
    // The chain in scan order keeps the same length rules at every step.
    const std::string chained = ConvISOtoHTML(ConvISOtoUTF8(ia5));
    ASSERT_EQ(chained.size(), ia5.size() + 2 * CountIf(ia5, IsEncoded));
    concatenated += line;
    dos_parts += dos, ia5_parts += ia5, utf8_parts += utf8, html_parts += html;
  }
  // Each byte converts on its own, whatever surrounds it.
  EXPECT_EQ(ConvISOtoDOS(concatenated), dos_parts);
  EXPECT_EQ(ConvISOtoIA5(concatenated), ia5_parts);
  EXPECT_EQ(ConvISOtoUTF8(concatenated), utf8_parts);
  EXPECT_EQ(ConvISOtoHTML(concatenated), html_parts);
  TempFile file(concatenated);
  EXPECT_EQ(utf8_parts, RunReference("iconv -f ISO-8859-1 -t UTF-8 " + file.path()));
}

TEST(ConvLongLines, NoLengthLimit) {
  for (std::size_t size : {32767u, 32768u, 32769u, 65536u, 100000u}) {
    std::string line(size, '\0');
    for (std::size_t i = 0; i < size; ++i) line[i] = static_cast<char>((i * 7 + 3) % 256);
    for (auto* conv : {ConvISOtoDOS, ConvISOtoIA5, ConvISOtoUTF8, ConvISOtoHTML}) {
      std::string expected;
      for (char c : line) expected += conv(std::string_view(&c, 1));
      ASSERT_EQ(conv(line), expected) << "length " << size;
    }
  }
}

}  // namespace
}  // namespace cw
