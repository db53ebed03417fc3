#include "convert/conversions.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace cw {
namespace {

// Why plain byte comparisons give the right answers: a line holds one char per byte of the
// incoming file, and the system's single-byte code page is Western 1252. Every table key below is
// a Latin-1 letter or sign of 0..127 or 160..255, where code page 1252, ISO 8859-1 and Unicode
// agree, so the key's 16-bit value is its byte. No key lies in 128..159, the only range where code
// page 1252 puts other characters (the euro sign, typographic quotes, ...) than ISO 8859-1; those
// bytes are never a key. "Above ~" compares codes, so every byte of 127 or more qualifies there,
// whatever character code page 1252 shows for it. UTF-8 reads the byte as a Latin-1 code point.
// All lookups therefore index by the unsigned byte value.

using ByteTable = std::array<unsigned char, 256>;

struct Mapping {
  unsigned char from;
  unsigned char to;
};

// Every byte up to last_kept as itself, every other one as beyond, then the rows.
template <size_t N>
constexpr ByteTable MakeByteTable(const Mapping (&rows)[N], int last_kept, unsigned char beyond) {
  ByteTable table{};
  for (int b = 0; b < 256; ++b) table[b] = b <= last_kept ? b : beyond;
  for (const Mapping& row : rows) table[row.from] = row.to;
  return table;
}

constexpr Mapping kDosRows[] = {
    {0xC4, 142},   // Ä
    {0xC5, 143},   // Å
    {0xD6, 153},   // Ö
    {0xE4, 132},   // ä
    {0xE5, 134},   // å
    {0xF6, 148},   // ö
    {0xB0, 248},   // °
    {0xB3, 0xFC},  // ³ becomes the letter ü, byte 252, which is where 850 keeps ³
};

constexpr Mapping kIa5Rows[] = {
    {'@', 0},    {0xA3, 1},   {'$', 2},    {0xA5, 3},    // @ £ $ ¥
    {0xE8, 4},   {0xE9, 5},   {0xF9, 6},   {0xEC, 7},    // è é ù ì
    {0xF2, 8},   {0xC7, 9},   {'\\', 10},  {0xD8, 11},   // ò Ç \ Ø
    {0xF8, 12},  {0xC5, 14},  {0xE5, 15},  {'_', 17},    // ø Å å _
    {0xC6, 28},  {0xE6, 29},  {0xDF, 30},  {0xC9, 31},   // Æ æ ß É
    {0xA1, 64},  {0xC4, 91},  {0xD6, 92},  {0xD1, 93},   // ¡ Ä Ö Ñ
    {0xDC, 94},  {0xA7, 95},  {0xBF, 96},  {0xE4, 123},  // Ü § ¿ ä
    {0xF6, 124}, {0xF1, 125}, {0xFC, 126}, {0xE0, 127},  // ö ñ ü à
};

// Each entry holds the bytes to append and how many of them count. The loops below always copy
// the full entry and advance only by its length, which avoids a branch per byte; the output
// buffer is sized for the worst case, so the extra bytes written past the end of a short entry
// stay inside it and are overwritten by the next entry or cut off at the end.
template <size_t N>
struct Entry {
  char bytes[N];
  std::uint8_t length;
};
template <size_t N>
using EntryTable = std::array<Entry<N>, 256>;

constexpr EntryTable<2> MakeUtf8Table() {
  EntryTable<2> table{};
  for (int k = 0; k < 256; ++k) {
    if (k <= 127) {
      table[k] = {{static_cast<char>(k), 0}, 1};
    } else {
      table[k] = {
          {static_cast<char>(0xC0 | ((k & 0xC0) >> 6)), static_cast<char>(0x80 | (k & 0x3F))}, 2};
    }
  }
  return table;
}

constexpr EntryTable<3> MakePercentTable() {
  constexpr char kHex[] = "0123456789ABCDEF";
  EntryTable<3> table{};
  for (int k = 0; k < 256; ++k) {
    if (k >= 48 && k <= 126) {
      table[k] = {{static_cast<char>(k), 0, 0}, 1};
    } else {
      table[k] = {{'%', kHex[k >> 4], kHex[k & 0x0F]}, 3};
    }
  }
  return table;
}

constexpr ByteTable kDos = MakeByteTable(kDosRows, '~', '~');
constexpr ByteTable kIa5 = MakeByteTable(kIa5Rows, 127, '*');
constexpr EntryTable<2> kUtf8 = MakeUtf8Table();
constexpr EntryTable<3> kPercent = MakePercentTable();

std::string MapBytes(std::string_view text, const ByteTable& table) {
  std::string out(text.size(), '\0');
  char* dst = out.data();
  for (std::size_t i = 0; i < text.size(); ++i) {
    dst[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  }
  return out;
}

// Sizing the output once for the worst case (every byte expanded) keeps this to a single pass with
// no growth checks; the spare capacity is small for a message line and goes with the string.
template <size_t N>
std::string Expand(std::string_view text, const EntryTable<N>& table) {
  constexpr std::size_t kMaxBytes = N;
  std::string out(text.size() * kMaxBytes, '\0');
  char* dst = out.data();
  for (char c : text) {
    const Entry<N>& entry = table[static_cast<unsigned char>(c)];
    std::memcpy(dst, entry.bytes, kMaxBytes);
    dst += entry.length;
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return out;
}

}  // namespace

std::string ConvISOtoDOS(std::string_view text) { return MapBytes(text, kDos); }

std::string ConvISOtoIA5(std::string_view text) { return MapBytes(text, kIa5); }

std::string ConvISOtoUTF8(std::string_view text) { return Expand(text, kUtf8); }

std::string ConvISOtoHTML(std::string_view text) { return Expand(text, kPercent); }

}  // namespace cw
