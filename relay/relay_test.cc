// What the core does where the real program cannot show it cheaply: how lines end in any block
// size, a step that fails while the rest of the cycle goes on, and a pause that a close ends.
#include <gtest/gtest.h>

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
  const std::pair<std::string, Lines> rows[] = {
      {"", {}},
      {"a\r\nb\r\nc", {"a", "b", "c"}},
      {"a\rb\r", {"a", "b"}},
      {"one\ntwo\n", {"one\ntwo\n"}},
      {"\r\n\r\n", {"", ""}},
      {"x\r\n\ny", {"x", "\ny"}},
      {"\r\r\n\r", {"", "", ""}},
      {"n\0l\r\xff"s, {"n\0l"s, "\xff"}},
  };
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
class Events : public WindowEvents {
 public:
  explicit Events(Corbelwynford_Procs& procs) : procs_(procs) {}
  void OnTimer(TimerId timer) override {
    if (timer == TimerId::kSystem) SystemTimerTick(procs_.platform.loop, procs_.PauseTicks);
  }
  void OnResize() override {}
  void OnCloseRequest(int16_t) override { procs_.platform.process.Exit(0); }
  void OnTransferStateChanged(int16_t state) override { procs_.TransferState = state; }
  void OnServiceStart(bool&) override {}
  void OnServicePause(bool&) override {}
  void OnServiceContinue(bool&) override {}
  void OnServiceStop() override {}

 private:
  Corbelwynford_Procs& procs_;
};

class ScanCycle : public ::testing::Test {
 protected:
  ScanCycle() {
    fake.loop.handlers = &events;
    fake.process.directory = "/opt/cw";
    procs.AppPath = "/opt/cw/";
    fake.SetIni("Protocol", "URL", "http://127.0.0.1:9/in");
    fake.SetIni("Protocol", "XML", "<sms>[Message]</sms>");
  }
  Lines Bodies() {
    Lines out;
    for (const auto& r : fake.inet.requests) out.push_back(r.data);
    return out;
  }
  std::string LastLog() {
    const std::string& entry = fake.window.list.entries.back();
    return entry.substr(fake.clock.date.size() + fake.clock.time.size() + 2);
  }

  const std::string kScan = "/opt/cw/InComingSMS.txt";
  const std::string kClaim = kScan + ".$$$";
  testing::FakePlatform fake;
  Corbelwynford_Procs procs{fake.platform};
  Events events{procs};
};

TEST_F(ScanCycle, AMessageThatCannotStartFailsAndTheNextOneStillGoes) {
  fake.files.files[kScan] = "a\rb";
  fake.inet.fail_execute = true;
  RunScanCycle(procs);
  int failed = 0;
  for (const std::string& entry : fake.window.list.entries)
    failed += entry.find("Sending failed") != std::string::npos;
  EXPECT_EQ(failed, 2);
  EXPECT_TRUE(fake.files.files.empty());
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
}

TEST_F(ScanCycle, AFailedDeleteLeavesTheClaimFileForTheNextCycle) {
  fake.files.files[kScan] = "x";
  fake.files.fail_delete = true;
  fake.SetIni("Protocol", "WaitForAnswer", "90");
  RunScanCycle(procs);
  // The control's own time-out never cuts the configured wait short.
  EXPECT_GT(fake.inet.requests.at(0).request_timeout, 90);
  EXPECT_EQ(fake.files.files.count(kClaim), 1u);
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
  fake.files.fail_delete = false;
  RunScanCycle(procs);
  EXPECT_EQ(Bodies(), (Lines{"<sms>x</sms>", "<sms>x</sms>"}));
  EXPECT_TRUE(fake.files.files.empty());
}

TEST_F(ScanCycle, AReadFailureEndsTheFileWithoutRepeatingAMessage) {
  fake.files.files[kScan] = "one\rtwo\rthree";
  fake.files.read_block = 4;
  fake.files.fail_read_at = 8;  // while looking for a line feed after "two\r"
  RunScanCycle(procs);
  EXPECT_EQ(Bodies(), (Lines{"<sms>one</sms>", "<sms>two</sms>"}));
  EXPECT_EQ(LastLog(), "Corbelwynford could not read " + kClaim + ", the rest of it was not sent");
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
}

TEST_F(ScanCycle, AFailedKeepIsLoggedAndAFailedFileNamingTheIncomingFileIsIgnored) {
  fake.inet.fail_execute = true;
  fake.files.fail_append = true;
  fake.SetIni("General", "FailedFile", "failed.txt");
  fake.files.files[kScan] = "a";
  RunScanCycle(procs);
  EXPECT_EQ(LastLog(), "Sending failed");
  const auto& log = fake.window.list.entries;
  EXPECT_NE(log[log.size() - 2].find("could not keep the failed message in /opt/cw/failed.txt: "
                                     "disk full"),
            std::string::npos);
  fake.files.fail_append = false;
  for (const char* name : {"InComingSMS.txt", "/opt/cw/InComingSMS.txt.$$$"}) {
    fake.SetIni("General", "FailedFile", name);
    fake.files.files[kScan] = "b";
    RunScanCycle(procs);
    EXPECT_TRUE(fake.files.files.empty()) << name;
  }
}

TEST_F(ScanCycle, ACloseDuringAPauseEndsAtOnceAndKeepsTheClaimFile) {
  fake.files.files[kScan] = "a\rb";
  fake.loop.At(1500, [this] { events.OnCloseRequest(0); });
  EXPECT_THROW(RunScanCycle(procs), testing::ProcessExit);
  EXPECT_LT(fake.loop.now, 1600);
  EXPECT_EQ(Bodies().size(), 1u);
  EXPECT_EQ(fake.files.files.count(kClaim), 1u);
}

}  // namespace
}  // namespace cw
