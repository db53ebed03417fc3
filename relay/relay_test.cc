// What the core does where the real program cannot show it cheaply: how lines end in any block
// size, a step that fails while the rest of the cycle goes on, and a pause that a close ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "relay/corbelwynford_procs.h"
#include "relay/line_reader.h"
#include "relay/pause.h"
#include "relay/scan_cycle.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

TEST(LineReader, OnlyACarriageReturnEndsALineInAnyBlockSize) {
  const std::pair<std::string, Lines> rows[] = {{"a\r\nb\r\nc", {"a", "b", "c"}},
                                                {"x\r\n\ny", {"x", "\ny"}},
                                                {"\r\r\n\r", {"", "", ""}},
                                                {"n\0l\r\xff"s, {"n\0l"s, "\xff"}}};
  for (size_t block : {1u, 2u, 3u, 1000u}) {
    for (const auto& [file, expected] : rows) {
      testing::FakeFileSystem fs;
      fs.files["f"] = file;
      fs.read_block = block;
      auto handle = fs.OpenForReading("f");
      LineReader reader(*handle);
      Lines lines;
      while (!reader.AtEnd()) lines.push_back(reader.ReadLine());
      EXPECT_EQ(lines, expected) << "block " << block;
    }
  }
}

// Routes the loop's events as the main window does; a close ends the process.
struct Events : testing::NullEvents {
  explicit Events(Corbelwynford_Procs& procs) : procs(procs) {}
  void OnTimer(TimerId timer) override {
    if (timer == TimerId::kSystem) SystemTimerTick(procs.platform.loop, procs.PauseTicks);
  }
  void OnCloseRequest(int16_t) override { procs.platform.process.Exit(0); }
  void OnTransferStateChanged(int16_t state) override { procs.TransferState = state; }
  Corbelwynford_Procs& procs;
};

const std::string kScan = "/opt/cw/InComingSMS.txt";
const std::string kClaim = kScan + ".$$$";

// The program in /opt/cw on fakes, its settings file naming a URL and a template.
struct Relay {
  Relay() {
    fake.loop.handlers = &events;
    procs.AppPath = "/opt/cw/";
    fake.SetIni("Protocol", "URL", "http://127.0.0.1:9/in");
    fake.SetIni("Protocol", "XML", "<sms>[Message]</sms>");
  }
  testing::FakePlatform fake;
  Corbelwynford_Procs procs{fake.platform};
  Events events{procs};
};

TEST(ScanCycle, AFailingStepIsLoggedAndTheRestOfTheCycleGoesOn) {
  enum { kStart = 1, kDelete = 2, kRead = 4, kKeep = 8 };
  const std::string kSent = "Sending failed", kDone = "Sending completed successfully";
  const std::string kUnread =
      "Corbelwynford could not read " + kClaim + ", the rest of it was not sent";
  const std::string kUnkept =
      "Corbelwynford could not keep the failed message in /opt/cw/failed.txt: disk full";
  const struct {
    int fail;
    std::string file, failed_file;
    Lines bodies;
    std::string log;  // logged this many times
    int times;
    Lines left;  // the files after the cycle
  } rows[] = {
      {kStart, "a\rb", "", {}, kSent, 2, {}},
      {kDelete, "x", "", {"<sms>x</sms>"}, kDone, 1, {kClaim}},
      {kRead, "one\rtwo\rthree", "", {"<sms>one</sms>", "<sms>two</sms>"}, kUnread, 1, {}},
      {kStart | kKeep, "a", "failed.txt", {}, kUnkept, 1, {}},
      // A failed-message file that names the incoming or the claim file is no place to keep one.
      {kStart, "a", "InComingSMS.txt", {}, kSent, 1, {}},
      {kStart, "a", kClaim, {}, kSent, 1, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file + " " + std::to_string(row.fail) + " " + row.failed_file);
    Relay relay;
    testing::FakePlatform& f = relay.fake;
    f.files.files[kScan] = row.file;
    f.inet.fail_execute = row.fail & kStart;
    f.files.fail_delete = row.fail & kDelete;
    f.files.fail_append = row.fail & kKeep;
    if (row.fail & kRead) f.files.read_block = 4, f.files.fail_read_at = 8;  // past "two\r"
    if (!row.failed_file.empty()) f.SetIni("General", "FailedFile", row.failed_file);
    RunScanCycle(relay.procs);
    EXPECT_EQ(f.inet.bodies, row.bodies);
    const Lines log = f.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), row.log), row.times);
    Lines left;
    for (const auto& [path, data] : f.files.files) left.push_back(path);
    EXPECT_EQ(left, row.left);
    EXPECT_TRUE(f.loop.timers[TimerId::kFileScan].enabled);
  }
}

TEST(ScanCycle, AFeedsFileIsLeftAloneAndWhatIsAppendedAfterTheClaimIsSent) {
  Relay relay;
  testing::FakePlatform& f = relay.fake;
  f.files.files[kScan] = "one\ntwo";
  f.files.locked = true;  // a feed is writing
  RunScanCycle(relay.procs);
  EXPECT_EQ(f.files.files.count(kScan), 1u);
  f.files.locked = false;
  // A writer that kept the file open across the claim appends while the first message is sent.
  f.loop.At(1500, [&] { f.files.files[kClaim] += "three\r\n"; });
  RunScanCycle(relay.procs);
  EXPECT_EQ(f.inet.bodies, (Lines{"<sms>one\ntwo</sms>", "<sms>three</sms>"}));
  std::string log;
  for (const std::string& entry : f.Log()) log += entry;  // a long line spans two entries
  EXPECT_TRUE(log.starts_with("Corbelwynford sends " + kClaim +
                              " as one message: it holds line feeds but no carriage return, and "
                              "each message must end in CR LF Tx: <sms>one<10>two</sms>"))
      << log;
  EXPECT_TRUE(f.files.files.empty());
}

TEST(ScanCycle, ACloseDuringAPauseEndsAtOnceAndKeepsTheClaimFile) {
  Relay relay;
  relay.fake.files.files[kScan] = "a\rb";
  relay.fake.loop.At(1500, [&] { relay.events.OnCloseRequest(0); });
  EXPECT_THROW(RunScanCycle(relay.procs), testing::ProcessExit);
  EXPECT_LT(relay.fake.loop.now, 1600);
  EXPECT_EQ(relay.fake.inet.bodies.size(), 1u);
  EXPECT_EQ(relay.fake.files.files.count(kClaim), 1u);
}

}  // namespace
}  // namespace cw
