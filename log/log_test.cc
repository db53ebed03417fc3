#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "log/activity_log.h"
#include "log/traffic_log.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_window.h"

namespace cw {
namespace {

using testing::FakeClock;
using testing::FakeListBox;

class LogTest : public ::testing::Test {
 protected:
  // The chunk of an entry: what follows "<date> <time> ".
  std::string ChunkOf(int index) {
    const std::string prefix = clock.date + " " + clock.time + " ";
    const std::string& entry = list.entries.at(index);
    EXPECT_EQ(entry.substr(0, prefix.size()), prefix);
    return entry.substr(prefix.size());
  }
  void Fill(int count) {
    for (int i = 0; i < count; ++i) list.entries.push_back("old " + std::to_string(i));
  }

  FakeListBox list;
  FakeClock clock;
};

TEST_F(LogTest, ActivityTextIsCutIntoEntriesOfHundredBytes) {
  WriteLog(list, clock, std::string(100, 'a'));
  ASSERT_EQ(list.ListCount(), 1);
  WriteLog(list, clock, std::string(100, 'b') + "c");
  ASSERT_EQ(list.ListCount(), 3);
  EXPECT_EQ(ChunkOf(2), "c");
  std::string text(250, 'x');
  text[200] = 'y';
  WriteLog(list, clock, text);
  ASSERT_EQ(list.ListCount(), 6);
  EXPECT_EQ(ChunkOf(3).size(), 100u);
  EXPECT_EQ(ChunkOf(5), "y" + std::string(49, 'x'));
  EXPECT_EQ(list.selected, 5);
}

TEST_F(LogTest, ActivityEntriesKeepControlBytesAndNul) {
  const std::string text("line\nfeed\0nul\x80", 14);
  WriteLog(list, clock, text);
  EXPECT_EQ(ChunkOf(0), text);
}

TEST_F(LogTest, EmptyTextAddsNothingButStillSelects) {
  WriteLog(list, clock, "");
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_EQ(list.selected, -1);
  Fill(3);
  WriteLog(list, clock, "");
  EXPECT_EQ(list.selected, 2);
}

TEST_F(LogTest, BoundKeepsFirstEntryAndRemovesSecond) {
  Fill(200);
  WriteLog(list, clock, "new");
  ASSERT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.entries[0], "old 0");
  EXPECT_EQ(list.entries[1], "old 2");
  EXPECT_EQ(ChunkOf(199), "new");
  EXPECT_EQ(list.selected, 199);

  WriteLog(list, clock, std::string(25000, 'z'));  // 250 chunks
  ASSERT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.entries[0], "old 0");
  EXPECT_EQ(ChunkOf(1), std::string(100, 'z'));
}

TEST_F(LogTest, LongTextOnEmptyListKeepsItsFirstChunkOnTop) {
  std::string text;
  for (int i = 0; i < 250; ++i) text += std::string(100, static_cast<char>('A' + i % 26));
  WriteLog(list, clock, text);
  ASSERT_EQ(list.ListCount(), 200);
  EXPECT_EQ(ChunkOf(0), std::string(100, 'A'));
  EXPECT_EQ(ChunkOf(1), std::string(100, static_cast<char>('A' + 51 % 26)));
}

TEST_F(LogTest, ActivityLogSkipsFailingStepsAndNeverThrows) {
  Fill(201);
  list.fail_add = true;
  WriteLog(list, clock, "lost");  // the add fails; bounding and selection still run
  EXPECT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.selected, 199);

  list.fail_add = false;
  list.fail_remove = true;
  EXPECT_NO_THROW(WriteLog(list, clock, "kept"));
  EXPECT_EQ(list.ListCount(), 201);
  EXPECT_EQ(list.selected, 200);
}

TEST(TrafficEscape, CopiesThirtyTwoToHundredTwentySevenAndEscapesTheRest) {
  EXPECT_EQ(EscapeTrafficText(" ~\x7f"), " ~\x7f");
  EXPECT_EQ(EscapeTrafficText(std::string("\x1f\x80\t\0\n\r\xe9\xff", 8)),
            "<31><128><9><0><10><13><233><255>");
  for (int c = 0; c < 256; ++c) {
    std::string escaped = EscapeTrafficText(std::string(1, static_cast<char>(c)));
    if (c >= 32 && c <= 127) {
      EXPECT_EQ(escaped.size(), 1u) << c;
    } else {
      EXPECT_EQ(escaped, std::string("<").append(std::to_string(c)).append(">"));
    }
  }
}

TEST_F(LogTest, TrafficPrefixesFollowDirection) {
  WriteTrafficLog(list, clock, 1, "abc");
  WriteTrafficLog(list, clock, 0, "def");
  WriteTrafficLog(list, clock, -1, "ghi");
  EXPECT_EQ(ChunkOf(0), " Tx: abc");
  EXPECT_EQ(ChunkOf(1), " Rx: def");
  EXPECT_EQ(ChunkOf(2), " Tx: ghi");
  // Two blanks between the time and the direction.
  EXPECT_EQ(list.entries[0], clock.date + " " + clock.time + "  Tx: abc");
}

TEST_F(LogTest, TrafficChunksAreCutAfterEscaping) {
  WriteTrafficLog(list, clock, 1, std::string(98, 'a') + "\n");
  ASSERT_EQ(list.ListCount(), 2);
  EXPECT_EQ(ChunkOf(0), " Tx: " + std::string(98, 'a') + "<1");
  EXPECT_EQ(ChunkOf(1), " Tx: 0>");

  list.entries.clear();
  WriteTrafficLog(list, clock, 0, std::string(100, '\xe9'));  // 500 escaped bytes
  EXPECT_EQ(list.ListCount(), 5);
}

TEST_F(LogTest, TrafficLogsTextsBeyondSixteenBitLengths) {
  Fill(1);
  std::string text(40000, 'q');
  text.back() = 'E';
  WriteTrafficLog(list, clock, 1, text);
  ASSERT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.entries[0], "old 0");
  EXPECT_EQ(ChunkOf(199), " Tx: " + std::string(99, 'q') + "E");
  EXPECT_EQ(list.selected, 199);
  // One removal per surplus entry, nothing more.
  EXPECT_EQ(list.removals, 1 + 400 - 200);
}

// Counts the most entries the list ever held.
class PeakListBox : public FakeListBox {
 public:
  void AddItem(const std::string& entry) override {
    FakeListBox::AddItem(entry);
    peak = std::max(peak, ListCount());
  }
  int peak = 0;
};

TEST(TrafficLogMemory, AHugeTextNeverHoldsAllItsEntriesAtOnce) {
  PeakListBox list;
  FakeClock clock;
  list.entries.push_back("first");
  std::string text(1000000, 'm');  // 10,000 entries
  text.back() = 'E';
  WriteTrafficLog(list, clock, 1, text);
  EXPECT_EQ(list.peak, 201);
  ASSERT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.entries[0], "first");
  EXPECT_EQ(list.entries[199],
            clock.date + " " + clock.time + "  Tx: " + std::string(99, 'm') + "E");
  EXPECT_EQ(list.removals, 10000 - 199);
  EXPECT_EQ(list.selected, 199);
}

TEST_F(LogTest, TrafficLogPassesAListFailureOnAndStops) {
  Fill(200);
  list.fail_remove = true;
  list.selected = 3;
  EXPECT_THROW(WriteTrafficLog(list, clock, 1, "x"), RelayError);
  EXPECT_EQ(list.selected, 3);  // selection did not run
  EXPECT_EQ(list.ListCount(), 201);
}

TEST_F(LogTest, EmptyTrafficTextStillBoundsAndSelects) {
  Fill(205);
  WriteTrafficLog(list, clock, 0, "");
  EXPECT_EQ(list.ListCount(), 200);
  EXPECT_EQ(list.selected, 199);
}

}  // namespace
}  // namespace cw
