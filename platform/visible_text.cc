#include "platform/visible_text.h"

namespace cw {

std::string VisibleText(std::string_view text, HighBytes high) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 32 || c == 127) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);  // 0 -> @, 31 -> _, 127 -> ?
    } else if (c < 127 || high == HighBytes::kKeep) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace cw
