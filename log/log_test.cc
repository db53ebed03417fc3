#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using namespace std::string_literals;

// A log call on a log that already holds `old` entries ("old 0", "old 1", ...), and what it holds
// afterwards: its size and some entries by index (the text after the date and time). The newest
// entry is always the one shown.
struct Row {
  int traffic, old;  // traffic -2: the activity log; otherwise the traffic log's is_tx
  std::string text;
  size_t count;
  std::vector<std::pair<int, std::string>> entries;
  bool whole = false;  // entries go out as lines
};

const std::string kX = std::string(100, 'x'), kQ = std::string(39999, 'q') + "E";

const Row kRows[] = {
    {-2, 0, kX + kX + "y" + kX.substr(51), 3, {{0, kX}, {2, "y" + kX.substr(51)}}},
    {-2, 0, "line\nfeed\0nul\x80"s, 1, {{0, "line\nfeed\0nul\x80"s}}},  // verbatim
    {-2, 3, "", 3, {}},
    // The first entry stays for good; the second one gives way.
    {-2, 200, "new", 200, {{0, "old 0"}, {1, "old 2"}, {199, "new"}}},
    {1, 0, "a \x1f\x7f\x80"s, 1, {{0, " Tx: a <31>\x7f<128>"}}},
    {0, 0, "def\0\xff"s, 1, {{0, " Rx: def<0><255>"}}},
    {-1, 0, "ghi", 1, {{0, " Tx: ghi"}}},
    // Entries are cut after escaping, so an escape may straddle two of them.
    {1, 0, kX.substr(2) + "\n", 2, {{0, " Tx: " + kX.substr(2) + "<1"}, {1, " Tx: 0>"}}},
    {1, 1, kQ, 200, {{0, "old 0"}, {199, " Tx: " + kQ.substr(39900)}}},
    {0, 205, "", 200, {{0, "old 0"}, {1, "old 6"}}},
    // As lines, an entry stays whole, and a traffic entry ends after 1,024 bytes with the size.
    {-2, 0, kX + kX + "y", 1, {{0, kX + kX + "y"}}, true},
    {1, 0, kQ, 1, {{0, " Tx: " + kQ.substr(0, 1024) + "... (40000 bytes)"}}, true},
};

TEST(Log, ChunksBoundsEscapesAndSelection) {
  for (const Row& row : kRows) {
    testing::FakeLogList list;
    list.whole = row.whole;
    testing::FakeClock clock;
    Log log(list, clock);
    for (int i = 0; i < row.old; ++i) log.WriteLog("old " + std::to_string(i));
    list.peak = 0;
    list.entries.clear();
    if (row.traffic == -2) {
      log.WriteLog(row.text);
    } else {
      log.WriteTrafficLog(row.traffic != 0, row.text);
    }
    const std::string label = row.text.substr(0, 40);
    ASSERT_EQ(list.entries, log.Entries()) << label;
    ASSERT_EQ(log.Entries().size(), row.count) << label;
    // A long text never makes the log hold more than one entry over its bound.
    EXPECT_LE(list.peak, 201u) << label;
    for (const auto& [index, text] : row.entries) {
      EXPECT_EQ(log.Entries()[index], "06/12/26 20:43:48 " + text) << label << index;
    }
  }
}

}  // namespace
}  // namespace cw
