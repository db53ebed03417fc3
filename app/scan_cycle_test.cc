// The scan cycle through the main window's timer handler, on fakes: settings, claim, the message
// loop with its transfers and pauses, the outcome entries and the re-arming of the timer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/corbelwynford_main.h"
#include "platform/transfer_rules.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using testing::FakePlatform;
using testing::FakeTransfer;

constexpr char kDir[] = "/opt/cw";
const std::string kScan = "/opt/cw/InComingSMS.txt";
const std::string kClaim = "/opt/cw/InComingSMS.txt.$$$";

class ScanCycleTest : public ::testing::Test {
 protected:
  ScanCycleTest() {
    fake.loop.handlers = &form;
    fake.process.directory = kDir;
    form.Form_Load();
    fake.window.list.entries.clear();
    fake.SetIni("Protocol", "URL", "  http://127.0.0.1:9/in  ");
    fake.SetIni("Protocol", "XML", "<sms>[Message]</sms>");
  }
  std::vector<std::string> Log() {
    std::vector<std::string> out;
    const std::string prefix = fake.clock.date + " " + fake.clock.time + " ";
    for (const std::string& e : fake.window.list.entries) out.push_back(e.substr(prefix.size()));
    return out;
  }
  std::vector<std::string> Bodies() {
    std::vector<std::string> out;
    for (const auto& r : fake.inet.requests) out.push_back(r.data);
    return out;
  }
  void Tick() { form.Timer_FileScan_Timer(); }

  FakePlatform fake;
  Corbelwynford_Main form{fake.platform};
};

TEST_F(ScanCycleTest, NoFileMeansNoLogAndTheTimerKeepsItsInterval) {
  fake.SetIni("General", "ScanInterval", "5");
  Tick();
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kFileScan), 1000);
  // Every setting was read, in order, although nothing was claimed.
  EXPECT_EQ(
      fake.profile.reads,
      (std::vector<std::string>{"General/ScanInterval", "General/FileToScan",
                                "Protocol/WaitForAnswer", "Protocol/URL", "Protocol/Header",
                                "Protocol/XML", "Protocol/Protocol", "Protocol/ISOtoDOS",
                                "Protocol/ISOtoIA5", "Protocol/ISOtoUTF8", "Protocol/ISOtoHTML"}));
}

TEST_F(ScanCycleTest, ThreeLinesBecomeThreePostsInOrderAndTheFileIsDeleted) {
  fake.files.files[kScan] = "first\r\nsecond\r\n\r\n";
  fake.SetIni("General", "ScanInterval", "2.5");
  fake.SetIni("Protocol", "Header", " Content-Type: text/xml\\r\\nX-A: 1 ");
  Tick();
  EXPECT_EQ(Bodies(),
            (std::vector<std::string>{"<sms>first</sms>", "<sms>second</sms>", "<sms></sms>"}));
  const auto& r = fake.inet.requests.at(0);
  EXPECT_EQ(r.url, "http://127.0.0.1:9/in");
  EXPECT_EQ(r.request_timeout, RequestTimeoutSeconds(20));  // the default wait
  EXPECT_EQ(r.headers, "Content-Type: text/xml\r\nX-A: 1");
  EXPECT_EQ(r.protocol, 5);
  EXPECT_TRUE(fake.files.files.empty());
  EXPECT_EQ(fake.files.closes, 1);
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kFileScan), 2500);
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[0], " Tx: <sms>first</sms>");
  EXPECT_EQ(log[1], " Rx: OK");
  EXPECT_EQ(log[2], "Sending completed successfully");
  // Each message: one pause in the wait, one after it.
  EXPECT_GE(fake.loop.now, 3 * 2000);
  EXPECT_LT(fake.loop.now, 3 * 2000 + 500);
}

TEST_F(ScanCycleTest, EmptyFileIsClaimedAndDeletedWithoutRequestOrLog) {
  fake.files.files[kScan] = "";
  Tick();
  EXPECT_TRUE(fake.files.files.empty());
  EXPECT_TRUE(fake.inet.requests.empty());
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(fake.loop.TimerInterval(TimerId::kFileScan), 10000);  // the default interval
}

TEST_F(ScanCycleTest, ErrorStatusShowsTheAnswerButFails) {
  fake.files.files[kScan] = "a\rb\rc";
  fake.inet.script = {{12, "Server Error", 500, 100}, {11, "", 0, 100}, {12, "fine", 204, 100}};
  Tick();
  EXPECT_EQ(Log(),
            (std::vector<std::string>{" Tx: <sms>a</sms>", " Rx: Server Error", "Sending failed",
                                      " Tx: <sms>b</sms>", "Sending failed", " Tx: <sms>c</sms>",
                                      " Rx: fine", "Sending completed successfully"}));
}

TEST_F(ScanCycleTest, ServerThatNeverAnswersFailsAfterTheWaitAndIsCancelledBeforeTheNext) {
  fake.files.files[kScan] = "a\rb";
  fake.SetIni("Protocol", "WaitForAnswer", "3");
  fake.inet.script = {{12, "", 200, -1}, {12, "ok", 200, 100}};
  Tick();
  EXPECT_EQ(fake.inet.cancels, 1);
  EXPECT_EQ(Log().at(1), "Sending failed");
  EXPECT_EQ(Log().back(), "Sending completed successfully");
  // 3 s of wait and 1 s pause for the first; the cancel path waits its full 3 s too (the state
  // was reset to 0), then 1 s of wait and 1 s of pause for the second.
  EXPECT_GE(fake.loop.now, 9000);
  EXPECT_LT(fake.loop.now, 9500);
}

TEST_F(ScanCycleTest, WaitOfZeroJudgesAtOnce) {
  fake.files.files[kScan] = "a";
  fake.SetIni("Protocol", "WaitForAnswer", "0");
  Tick();
  EXPECT_EQ(Log().back(), "Sending failed");
  EXPECT_LT(fake.loop.now, 1200);  // the pause after the message only
}

TEST_F(ScanCycleTest, UnusableUrlFailsEachMessageAndTheNextOneStillGoes) {
  fake.files.files[kScan] = "a\rb";
  fake.SetIni("Protocol", "URL", "   ");
  fake.SetIni("Protocol", "WaitForAnswer", "2");
  Tick();
  EXPECT_TRUE(fake.inet.requests.empty());
  EXPECT_EQ(Log(), (std::vector<std::string>{" Tx: <sms>a</sms>", "Sending failed",
                                             " Tx: <sms>b</sms>", "Sending failed"}));
  EXPECT_TRUE(fake.files.files.empty());
}

TEST_F(ScanCycleTest, RefusedProtocolKeepsThePreviousOne) {
  fake.files.files[kScan] = "a\rb";
  fake.inet.SetProtocol(4);
  fake.SetIni("Protocol", "Protocol", "9");
  Tick();
  EXPECT_EQ(fake.inet.requests.at(0).protocol, 4);
  EXPECT_EQ(fake.inet.requests.size(), 2u);
}

TEST_F(ScanCycleTest, OldClaimFileGoesFirstAndTheNewScanFileWaits) {
  fake.files.files[kClaim] = "old one\rold two";
  fake.files.files[kScan] = "new";
  Tick();
  EXPECT_EQ(Bodies(), (std::vector<std::string>{"<sms>old one</sms>", "<sms>old two</sms>"}));
  EXPECT_EQ(fake.files.files.count(kScan), 1u);
  Tick();
  EXPECT_EQ(Bodies().back(), "<sms>new</sms>");
  EXPECT_TRUE(fake.files.files.empty());
}

// A scan file that is there but does not open: a folder, a FIFO, a file we may not read.
class UnopenableFiles : public testing::FakeFileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    if (path == unopenable) throw RelayError("cannot open");
    return FakeFileSystem::OpenForReading(path);
  }
  std::string unopenable;
};

TEST(ScanCycleClaimTest, WhatDoesNotOpenIsNotClaimedAndDoesNotBlockTheNextFile) {
  FakePlatform fake;
  UnopenableFiles files;
  Platform platform{fake.window, fake.loop,    fake.inet,  fake.service,
                    files,       fake.profile, fake.clock, fake.process};
  Corbelwynford_Main form{platform};
  fake.loop.handlers = &form;
  fake.process.directory = kDir;
  form.Form_Load();
  fake.SetIni("Protocol", "URL", "http://127.0.0.1:9/in");
  fake.SetIni("Protocol", "XML", "[Message]");
  files.files[kScan] = "unreadable";
  files.unopenable = kScan;
  for (int tick = 0; tick < 3; ++tick) form.Timer_FileScan_Timer();
  EXPECT_EQ(files.files.count(kScan), 1u);  // left where it is
  EXPECT_EQ(files.files.count(kClaim), 0u);
  EXPECT_TRUE(fake.inet.requests.empty());

  files.unopenable.clear();  // replaced by a file that reads
  files.files[kScan] = "next";
  form.Timer_FileScan_Timer();
  ASSERT_EQ(fake.inet.requests.size(), 1u);
  EXPECT_EQ(fake.inet.requests[0].data, "next");
  EXPECT_TRUE(files.files.empty());
}

TEST_F(ScanCycleTest, ConversionsRunInOrderBeforeTheBracketRemoval) {
  fake.SetIni("Protocol", "XML", "[Message]");
  fake.files.files[kScan] = "a[b]c\\d{e}f\r\xc4@\\";
  Tick();
  EXPECT_EQ(Bodies().at(0), "abcdef");
  fake.SetIni("Protocol", "ISOtoIA5", "");  // present but empty: on
  fake.SetIni("Protocol", "ISOtoHTML", "1");
  fake.files.files[kScan] = "\xc4@\\ x";
  Tick();
  // Ä becomes "[" and is removed; @ a NUL, then %00; the backslash a line feed, then %0A.
  EXPECT_EQ(Bodies().back(), "%00%0A%20x");
  fake.SetIni("Protocol", "ISOtoIA5", "0");
  fake.SetIni("Protocol", "ISOtoHTML", "0");
  fake.SetIni("Protocol", "ISOtoDOS", "yes");
  fake.SetIni("Protocol", "ISOtoUTF8", "00");
  fake.files.files[kScan] = "\xc4";
  Tick();
  EXPECT_EQ(Bodies().back(), "\xc2\x8e");
}

TEST_F(ScanCycleTest, SettingsAreReadAfreshEachCycle) {
  fake.files.files[kScan] = "x";
  Tick();
  fake.SetIni("Protocol", "XML", "v2:[message]");
  fake.SetIni("General", "FileToScan", "/var/spool/in.txt");
  fake.files.files["/var/spool/in.txt"] = "y";
  Tick();
  EXPECT_EQ(Bodies(), (std::vector<std::string>{"<sms>x</sms>", "v2:y"}));
}

TEST_F(ScanCycleTest, IntervalClampsAndOverflowGivesOneSecond) {
  for (auto [text, ms] : std::vector<std::pair<std::string, int>>{{"0", 1000},
                                                                  {"-5", 1000},
                                                                  {"abc", 1000},
                                                                  {"90", 60000},
                                                                  {"3000000", 1000},
                                                                  {"&H10", 16000}}) {
    fake.SetIni("General", "ScanInterval", text);
    fake.files.files[kScan] = "";
    Tick();
    EXPECT_EQ(fake.loop.TimerInterval(TimerId::kFileScan), ms) << text;
  }
}

TEST_F(ScanCycleTest, FailedDeleteLeavesTheClaimFileForTheNextCycle) {
  fake.files.files[kScan] = "x";
  fake.files.fail_delete = true;
  Tick();
  EXPECT_EQ(fake.files.files.count(kClaim), 1u);
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
  fake.files.fail_delete = false;
  Tick();
  EXPECT_EQ(Bodies().size(), 2u);
  EXPECT_TRUE(fake.files.files.empty());
}

TEST_F(ScanCycleTest, ReadFailureEndsTheLoopWithoutRepeatingAMessage) {
  fake.files.files[kScan] = "one\rtwo\rthree";
  fake.files.read_block = 4;
  fake.files.fail_read_at = 8;  // while looking for the line feed after "two\r"
  Tick();
  EXPECT_EQ(Bodies(), (std::vector<std::string>{"<sms>one</sms>", "<sms>two</sms>"}));
  EXPECT_EQ(Log().back(),
            "Corbelwynford could not read " + kClaim + ", the rest of it was not sent");
  EXPECT_TRUE(fake.loop.TimerEnabled(TimerId::kFileScan));
}

TEST_F(ScanCycleTest, CloseDuringThePauseEndsTheProcessWithTheClaimFileKept) {
  fake.files.files[kScan] = "a\rb";
  fake.loop.At(1500, [this] { form.OnCloseRequest(0); });
  EXPECT_THROW(Tick(), testing::ProcessExit);
  EXPECT_EQ(fake.files.files.count(kClaim), 1u);
  EXPECT_EQ(Log().back(), "Corbelwynford was shutdown");
}

}  // namespace
}  // namespace cw
