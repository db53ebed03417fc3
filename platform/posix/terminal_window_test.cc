#include "platform/posix/terminal_window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/errors.h"

namespace cw {
namespace {

std::string Contents(FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string data;
  char buffer[256];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) data.append(buffer, n);
  return data;
}

TEST(VisibleTextTest, NoByteReachesTheTerminalRaw) {
  EXPECT_EQ(VisibleText("plain ~text"), "plain ~text");
  EXPECT_EQ(VisibleText(std::string("\r\n\t\0\x1b[2J\x7f", 9)), "^M^J^I^@^[[2J^?");
  EXPECT_EQ(VisibleText("\x80\x9b\xe9\xff"), "\\x80\\x9B\\xE9\\xFF");
  for (int c = 0; c < 256; ++c) {
    for (unsigned char out : VisibleText(std::string(1, static_cast<char>(c)))) {
      EXPECT_TRUE(out >= 32 && out < 127) << c;
    }
  }
}

TEST(TerminalWindowTest, WithoutTerminalEveryEntryIsOneLineOfOutput) {
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    TerminalWindow window(false, out);
    EXPECT_FALSE(window.Drawing());
    window.List().AddItem("first");
    window.List().AddItem(std::string("two\nlines\0", 10));
    window.SetCaption("Corbelwynford - version 1.0.02");
    window.Hide();
    window.List().AddItem("after hide");
    EXPECT_EQ(window.Caption(), "Corbelwynford - version 1.0.02");
    EXPECT_EQ(window.KeyDescriptor(), -1);
    EXPECT_FALSE(window.ReadCloseKey());
  }
  EXPECT_EQ(Contents(out), "first\ntwo^Jlines^@\nafter hide\n");
  std::fclose(out);
}

TEST(TerminalWindowTest, ListKeepsSelectionConsistentAndRefusesBadIndexes) {
  TerminalWindow window(false, nullptr);
  ListBox& list = window.List();
  for (int i = 0; i < 5; ++i) list.AddItem(std::to_string(i));
  list.SetListIndex(4);
  list.RemoveItem(1);
  EXPECT_EQ(list.ListCount(), 4);
  EXPECT_EQ(list.ListIndex(), 3);  // still the entry "4"
  list.RemoveItem(3);
  EXPECT_EQ(list.ListIndex(), -1);
  EXPECT_THROW(list.RemoveItem(3), RelayError);
  EXPECT_THROW(list.SetListIndex(3), RelayError);
  EXPECT_THROW(list.SetListIndex(-2), RelayError);
  list.SetHeight(10);
  EXPECT_THROW(list.SetHeight(-1), RelayError);
  EXPECT_EQ(list.Height(), 10);
}

}  // namespace
}  // namespace cw
