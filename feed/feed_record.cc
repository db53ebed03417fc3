#include "feed/feed_record.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/ascii.h"
#include "base/utf8.h"

namespace cw {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Latin-9's eight places that differ from Latin-1.
struct Latin9Place {
  unsigned char byte;
  char32_t character;
  const char* plain;  // what Latin-1 gets instead
};
constexpr Latin9Place kLatin9[] = {
    {0xA4, 0x20AC, "EUR"}, {0xA6, 0x0160, "S"},  {0xA8, 0x0161, "s"},  {0xB4, 0x017D, "Z"},
    {0xB8, 0x017E, "z"},   {0xBC, 0x0152, "OE"}, {0xBD, 0x0153, "oe"}, {0xBE, 0x0178, "Y"},
};

// Characters outside Latin-1 that phones and word processors put into plain text.
struct Substitute {
  char32_t character;
  const char* plain;
};
constexpr Substitute kTypography[] = {
    {0x2018, "'"},  {0x2019, "'"},  {0x201A, "'"},  {0x201B, "'"},  {0x2032, "'"}, {0x201C, "\""},
    {0x201D, "\""}, {0x201E, "\""}, {0x201F, "\""}, {0x2033, "\""}, {0x2010, "-"}, {0x2011, "-"},
    {0x2012, "-"},  {0x2013, "-"},  {0x2014, "-"},  {0x2015, "-"},  {0x2212, "-"}, {0x2026, "..."},
};

const char* PlainSubstitute(char32_t c) {
  for (const Latin9Place& place : kLatin9) {
    if (place.character == c) return place.plain;
  }
  for (const Substitute& row : kTypography) {
    if (row.character == c) return row.plain;
  }
  return "?";
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

MessageText DecodeUtf8(std::string_view bytes) {
  MessageText text;
  text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const auto [code, length] = Utf8At(bytes, at);
    text += length > 0 ? code : static_cast<unsigned char>(bytes[at]);
    at += std::max<size_t>(length, 1);
  }
  return text;
}

MessageText DecodeLatin9(std::string_view bytes) {
  MessageText text;
  text.reserve(bytes.size());
  for (const unsigned char byte : bytes) {
    const auto place = std::find_if(std::begin(kLatin9), std::end(kLatin9),
                                    [byte](const Latin9Place& p) { return p.byte == byte; });
    text += place != std::end(kLatin9) ? place->character : byte;
  }
  return text;
}

MessageText DecodeGsm7(std::string_view bytes) {
  // The default alphabet by code; 0x1B is the escape to the extension table below.
  static constexpr char16_t kBasic[] =
      u"@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
      u"¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";
  static_assert(std::size(kBasic) == 129);
  static constexpr std::pair<unsigned char, char32_t> kExtension[] = {
      {0x0A, U'\f'}, {0x14, U'^'}, {0x28, U'{'}, {0x29, U'}'}, {0x2F, U'\\'},
      {0x3C, U'['},  {0x3D, U'~'}, {0x3E, U']'}, {0x40, U'|'}, {0x65, U'€'}};
  MessageText text;
  for (size_t at = 0; at < bytes.size(); ++at) {
    const unsigned char code = static_cast<unsigned char>(bytes[at]);
    if (code >= 0x80) {
      text += U'\uFFFD';
    } else if (code != 0x1B) {
      text += kBasic[code];
    } else if (++at < bytes.size()) {
      // An escaped code without an extension stands for its character in the default alphabet.
      const unsigned char next = static_cast<unsigned char>(bytes[at]) & 0x7F;
      const auto* found = std::find_if(std::begin(kExtension), std::end(kExtension),
                                       [next](const auto& e) { return e.first == next; });
      text += found != std::end(kExtension) ? found->second : kBasic[next == 0x1B ? 0x20 : next];
    }
  }
  return text;
}

MessageText DecodeUtf16BigEndian(std::string_view bytes) {
  MessageText text;
  auto unit = [&](size_t i) -> char32_t {
    return static_cast<unsigned char>(bytes[2 * i]) << 8 |
           static_cast<unsigned char>(bytes[2 * i + 1]);
  };
  const size_t units = bytes.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    const char32_t first = unit(i);
    if (first < 0xD800 || first > 0xDFFF) {
      text += first;
    } else if (first <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      text += 0x10000 + ((first - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else {
      text += kReplacement;
    }
  }
  return text;
}

std::optional<FeedCharset> FeedCharsetFromSetting(std::string_view setting) {
  if (setting.empty() || EqualsIgnoringCase(setting, "ISO-8859-1")) return FeedCharset::kLatin1;
  if (EqualsIgnoringCase(setting, "UTF-8")) return FeedCharset::kUtf8;
  return std::nullopt;
}

std::string FeedRecord(const MessageText& text, FeedCharset charset) {
  std::string record;
  record.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      c = '\n';
    }
    if (charset == FeedCharset::kUtf8) {
      AppendUtf8(record, c);
    } else if (c < 0x100) {
      record += static_cast<char>(c);
    } else {
      record += PlainSubstitute(c);
    }
  }
  return record + "\r\n";
}

}  // namespace cw
