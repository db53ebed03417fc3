#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "relay/await_transfer.h"
#include "relay/corbelwynford_procs.h"
#include "relay/line_reader.h"
#include "relay/pause.h"
#include "relay/scan_cycle.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using testing::FakePlatform;
using testing::FakeTransfer;

// Routes the loop's events the way the main window does, without the window unit.
class RelayEvents : public WindowEvents {
 public:
  explicit RelayEvents(Corbelwynford_Procs& procs) : procs_(procs) {}
  void OnTimer(TimerId timer) override {
    if (timer == TimerId::kSystem) SystemTimerTick(procs_.platform.loop, procs_.PauseTicks);
  }
  void OnResize() override { ++resizes; }
  void OnCloseRequest(int16_t) override {}
  void OnTransferStateChanged(int16_t state) override {
    if (state == 11 || state == 12) procs_.TransferState = state;
  }
  void OnServiceStart(bool&) override {}
  void OnServicePause(bool&) override {}
  void OnServiceContinue(bool&) override {}
  void OnServiceStop() override {}
  int resizes = 0;

 private:
  Corbelwynford_Procs& procs_;
};

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() { fake.loop.handlers = &events; }
  FakePlatform fake;
  Corbelwynford_Procs procs{fake.platform};
  RelayEvents events{procs};
};

TEST_F(RelayTest, PauseOfOneSecondEndsWithTheFirstTickAndHandlesEventsInside) {
  fake.loop.At(400, [] {});
  fake.loop.At(500, [this] { events.OnResize(); });
  procs.PauseSeconds(1);
  EXPECT_EQ(events.resizes, 1);
  EXPECT_GE(fake.loop.now, 1000);
  EXPECT_LE(fake.loop.now, 1050);
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 1000);
  EXPECT_FALSE(fake.loop.TimerEnabled(TimerId::kSystem));
  EXPECT_EQ(procs.PauseTicks, 0);
}

TEST_F(RelayTest, PauseIntervalFollowsTheLengthAndStopsAtSixtySeconds) {
  procs.PauseSeconds(0.5f);
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 500);
  const int64_t start = fake.loop.now;
  procs.PauseSeconds(90);
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 60000);
  EXPECT_LE(fake.loop.now - start, 60050);
  procs.PauseSeconds(0.0025f);  // 2.5 ms: the even neighbour is 2
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 2);
}

TEST_F(RelayTest, PauseOfZeroNegativeOrTinyReturnsAtOnce) {
  fake.loop.SetTimerInterval(TimerId::kSystem, 321);
  procs.PauseSeconds(0);
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kSystem));  // untouched
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 321);
  procs.PauseSeconds(-3);
  procs.PauseSeconds(0.0004f);
  EXPECT_EQ(fake.loop.now, 0);
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kSystem), 321);
  EXPECT_THROW(procs.PauseSeconds(std::nanf("")), OverflowError);
}

TEST_F(RelayTest, FirstSystemTickWithoutPauseDisablesTheTimer) {
  ASSERT_TRUE(fake.loop.TimerEnabled(TimerId::kSystem));
  fake.loop.now = 100;
  fake.loop.ProcessPendingEvents();
  EXPECT_FALSE(fake.loop.TimerEnabled(TimerId::kSystem));
  EXPECT_EQ(procs.PauseTicks, 0);
}

TEST_F(RelayTest, AnswerWithinTheFirstSecondCostsOnePause) {
  fake.inet.script.push_back({12, std::string(3000, 'r'), 200, 300});
  fake.inet.Execute("http://x", "", "");
  std::string answer = procs.AwaitTransfer(20, false);
  EXPECT_EQ(answer, std::string(1024, 'r'));
  EXPECT_EQ(fake.loop.now, 1000);
  EXPECT_EQ(procs.TransferState, 12);
}

TEST_F(RelayTest, ServerThatNeverAnswersRunsTheWholeWaitAndIsCancelledNextTime) {
  fake.inet.script.push_back({12, "late", 200, -1});
  fake.inet.Execute("http://x", "", "");
  EXPECT_EQ(procs.AwaitTransfer(3, false), "");
  EXPECT_EQ(fake.loop.now, 3000);
  EXPECT_TRUE(fake.inet.StillExecuting());
  EXPECT_EQ(procs.AwaitTransfer(3, true), "");
  EXPECT_EQ(fake.inet.cancels, 1);
  EXPECT_FALSE(fake.inet.StillExecuting());
  // TransferState stayed 0, so the cancel path waits its full length.
  EXPECT_EQ(fake.loop.now, 6000);
}

TEST_F(RelayTest, CancelFirstWithNothingRunningReturnsAtOnceWithoutFetching) {
  procs.TransferState = 12;
  EXPECT_EQ(procs.AwaitTransfer(20, true), "");
  EXPECT_EQ(fake.loop.now, 0);
  EXPECT_EQ(fake.inet.fetches, 0);
}

TEST_F(RelayTest, ErrorEndsTheWaitAtTheNextLook) {
  fake.inet.script.push_back({11, "", 0, 200});
  fake.inet.Execute("http://x", "", "");
  EXPECT_EQ(procs.AwaitTransfer(20, false), "");
  EXPECT_EQ(fake.loop.now, 1000);
  EXPECT_EQ(procs.TransferState, 11);
  EXPECT_EQ(fake.inet.fetches, 0);
}

TEST_F(RelayTest, WaitOfZeroJudgesAtOnceAndProgressStatesAreIgnored) {
  procs.TransferState = 12;
  fake.inet.script.push_back({12, "done", 200, 0});
  fake.inet.Execute("http://x", "", "");
  EXPECT_EQ(procs.AwaitTransfer(0, false), "");  // nothing fetched yet: the chunk is empty
  EXPECT_EQ(fake.inet.fetches, 1);
  EXPECT_EQ(fake.loop.now, 0);
  events.OnTransferStateChanged(5);
  EXPECT_EQ(procs.TransferState, 12);
}

TEST_F(RelayTest, FailingControlEndsTheWaitWithAnError) {
  std::function<void()> failing_pause = [] { throw RelayError("pause failed"); };
  fake.inet.script.push_back({12, "x", 200, -1});
  fake.inet.Execute("http://x", "", "");
  int16_t state = 0;
  EXPECT_THROW(AwaitTransfer(fake.inet, state, failing_pause, 5, false), RelayError);
}

std::vector<std::string> ReadAllLines(const std::string& data, size_t block) {
  testing::FakeFileSystem fs;
  fs.read_block = block;
  fs.files["f"] = data;
  auto file = fs.OpenForReading("f");
  LineReader reader(*file);
  std::vector<std::string> lines;
  while (!reader.AtEnd()) lines.push_back(reader.ReadLine());
  return lines;
}

TEST(LineReaderTest, CarriageReturnEndsALineAndALoneLineFeedIsPartOfIt) {
  using V = std::vector<std::string>;
  for (size_t block : {1u, 2u, 3u, 7u, 1000u}) {
    EXPECT_EQ(ReadAllLines("", block), V{});
    EXPECT_EQ(ReadAllLines("a\r\nb\r\nc", block), (V{"a", "b", "c"})) << block;
    EXPECT_EQ(ReadAllLines("a\r\n", block), (V{"a"}));
    EXPECT_EQ(ReadAllLines("a\rb\r", block), (V{"a", "b"}));
    EXPECT_EQ(ReadAllLines("one\ntwo\nthree\n", block), (V{"one\ntwo\nthree\n"}));
    EXPECT_EQ(ReadAllLines("\r\n\r\n", block), (V{"", ""}));
    EXPECT_EQ(ReadAllLines("x\r\n\ny", block), (V{"x", "\ny"}));
    EXPECT_EQ(ReadAllLines("\r\r\n\r", block), (V{"", "", ""}));
    EXPECT_EQ(ReadAllLines(std::string("n\0l\r\xff", 5), block),
              (V{std::string("n\0l", 3), "\xff"}));
  }
}

TEST(LineReaderTest, ReadFailureIsThrown) {
  testing::FakeFileSystem fs;
  fs.files["f"] = "abc\rdef\rghi";
  fs.fail_read_at = 4;
  fs.read_block = 4;
  auto file = fs.OpenForReading("f");
  LineReader reader(*file);
  // The failure comes while looking for a line feed after "abc\r": the line is still whole.
  EXPECT_EQ(reader.ReadLine(), "abc");
  EXPECT_THROW(reader.AtEnd(), RelayError);
}

TEST(BodyTemplateTest, EveryPlaceholderInAnyCaseIsReplaced) {
  EXPECT_EQ(FillBodyTemplate("<m>[Message]</m>", "hi"), "<m>hi</m>");
  EXPECT_EQ(FillBodyTemplate("[MESSAGE]+[message]+[MeSsAgE]", "x"), "x+x+x");
  EXPECT_EQ(FillBodyTemplate("no placeholder", "x"), "no placeholder");
  EXPECT_EQ(FillBodyTemplate("[Message", "x"), "[Message");
  // The inserted text is not searched again.
  EXPECT_EQ(FillBodyTemplate("[Message]", "[Message]"), "[Message]");
  EXPECT_EQ(FillBodyTemplate("", "x"), "");
  EXPECT_EQ(FillBodyTemplate(std::string("\0[message]\0", 11), std::string("\0", 1)),
            std::string("\0\0\0", 3));
}

TEST(BodyTemplateTest, BracketsAndBackslashesAreRemoved) {
  EXPECT_EQ(RemoveBrackets("a[b]c\\d{e}f"), "abcdef");
  EXPECT_EQ(RemoveBrackets(std::string("(\0)", 3)), std::string("(\0)", 3));
}

TEST(ScanFileTest, AbsolutePathsAreUsedAsWrittenOthersJoinTheProgramFolder) {
  testing::FakeFileSystem files;
  EXPECT_EQ(ResolveScanFile(files, "/opt/cw/", "/var/spool/sms.txt"), "/var/spool/sms.txt");
  EXPECT_EQ(ResolveScanFile(files, "/opt/cw/", "in/sms.txt"), "/opt/cw/in/sms.txt");
  EXPECT_EQ(ResolveScanFile(files, "/opt/cw/", ""), "/opt/cw/");
  EXPECT_EQ(ResolveScanFile(files, "/opt/cw/", "C:\\sms.txt"), "/opt/cw/C:\\sms.txt");
}

}  // namespace
}  // namespace cw
