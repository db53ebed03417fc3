#pragma once
// UTF-8 as RFC 3629 has it: shortest forms only, no surrogates, nothing past U+10FFFF.
#include <cstddef>
#include <string_view>
#include <utility>

namespace cw {

// The code point of the valid UTF-8 sequence at bytes[at], and its length; length 0 when the bytes
// there begin no valid sequence.
inline std::pair<char32_t, size_t> Utf8At(std::string_view bytes, size_t at) {
  const unsigned char lead = bytes[at];
  const size_t length = lead < 0x80       ? 1
                        : lead >> 5 == 6  ? 2
                        : lead >> 4 == 14 ? 3
                        : lead >> 3 == 30 ? 4
                                          : 0;
  if (length == 0 || bytes.size() - at < length) return {0, 0};
  char32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = bytes[at + k];
    if (next >> 6 != 2) return {0, 0};
    code = code << 6 | (next & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return {0, 0};
  return {code, length};
}

inline bool IsValidUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8At(bytes, at).second;
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace cw
