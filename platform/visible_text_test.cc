// The escaping that both windows share. The windows themselves run on the real binary: the terminal
// under tmux, the Win32 window under Wine.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/visible_text.h"

namespace cw {
namespace {

TEST(VisibleTextTest, ControlBytesShowAsCaretsAndHighBytesAsAsked) {
  // As given, as HighBytes::kKeep and as HighBytes::kHex show it.
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"plain ~text", "plain ~text", "plain ~text"},
      {std::string("\0\r\n\t\x1b[2J\x1f\x7f", 10), "^@^M^J^I^[[2J^_^?", "^@^M^J^I^[[2J^_^?"},
      {"\x80\x9b\xe9\xff", "\x80\x9b\xe9\xff", "\\x80\\x9B\\xE9\\xFF"},
  };
  for (const auto& [text, kept, hex] : rows) {
    EXPECT_EQ(VisibleText(text, HighBytes::kKeep), kept);
    EXPECT_EQ(VisibleText(text, HighBytes::kHex), hex);
  }
  for (int c = 0; c < 256; ++c) {
    for (unsigned char out : VisibleText(std::string(1, static_cast<char>(c)), HighBytes::kHex)) {
      EXPECT_TRUE(out >= 32 && out < 127) << c;
    }
  }
}

}  // namespace
}  // namespace cw
