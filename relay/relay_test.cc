// What the core does where the real program cannot show it cheaply: how lines end in any block
// size, a step that fails while the rest of the cycle goes on, and a pause that a close ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "relay/claim_progress.h"
#include "relay/line_reader.h"
#include "relay/relay.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using namespace std::chrono_literals;
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

const std::string kScan = "/opt/cw/InComingSMS.txt", kClaim = kScan + ".$$$";
const std::string kFailed = "/opt/cw/failed.txt";

// The relay of a program in /opt/cw on fakes, its settings file naming a URL and a template.
struct RelayOnFakes : testing::FakePlatform {
  RelayOnFakes() {
    SetIni("Protocol", "URL", "http://127.0.0.1:9/in");
    SetIni("Protocol", "XML", "<sms>[Message]</sms>");
  }
  cw::Log log{window.list, clock};
  Relay relay{platform, log, "/opt/cw/"};
};

TEST(ScanCycle, AFailingStepIsLoggedAndTheRestOfTheCycleGoesOn) {
  enum { kStart = 1, kDelete = 2, kRead = 4, kKeep = 8 };
  const std::string kSent = "Sending failed", kDone = "Sending completed successfully";
  const std::string kUnread =
      "Corbelwynford could not read " + kClaim + ", the rest of it was not sent";
  const std::string kUnkept =
      "Corbelwynford could not keep the failed message in " + kFailed + ": disk full";
  const std::string kEnded =
      "Corbelwynford ended " + kFailed + " with CR LF before keeping a failed message";
  const struct {
    int fail;
    std::string file, failed_file, failed_before;
    Lines bodies;
    std::string log;  // logged this many times
    int times;
    Lines left;  // each file after the cycle, "path=bytes"
  } rows[] = {
      {kStart, "a\rb", "", "", {}, kSent, 2, {}},
      // A claim file that cannot be deleted keeps its record: the next cycle sends none again.
      {kDelete,
       "x",
       "",
       "",
       {"<sms>x</sms>"},
       kDone,
       1,
       {kClaim + "=x", kClaim + ".progress=1 08f0db07b58d25fe " + kClaim + "\r\n"}},
      {kRead, "one\rtwo\rthree", "", "", {"<sms>one</sms>", "<sms>two</sms>"}, kUnread, 1, {}},
      {kStart | kKeep, "a", "failed.txt", "", {}, kUnkept, 1, {}},
      // What the failed-message file held stays; a last line without CR LF gets one first. The
      // message is kept as it was read, brackets and all.
      {kStart, "[a]", "failed.txt", "notes\n", {}, kEnded, 1, {kFailed + "=notes\n\r\n[a]\r\n"}},
      // A failed-message file that names the incoming or the claim file, however spelled, is no
      // place to keep one: its messages would come back every cycle.
      {kStart, "a", "./InComingSMS.txt", "", {}, kSent, 1, {}},
      {kStart, "a", kClaim, "", {}, kSent, 1, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file + " " + std::to_string(row.fail) + " " + row.failed_file);
    RelayOnFakes f;
    f.files.files[kScan] = row.file;
    f.http.fail_post = row.fail & kStart;
    f.files.fail_delete = row.fail & kDelete;
    f.files.fail_append = row.fail & kKeep;
    if (row.fail & kRead) f.files.read_block = 4, f.files.fail_read_at = 8;  // past "two\r"
    if (!row.failed_file.empty()) f.SetIni("General", "FailedFile", row.failed_file);
    if (!row.failed_before.empty()) f.files.files[kFailed] = row.failed_before;
    f.relay.ScanTick();
    EXPECT_EQ(f.http.bodies, row.bodies);
    const Lines log = f.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), row.log), row.times);
    Lines left;
    for (const auto& [path, data] : f.files.files) left.push_back(path + "=" + data);
    EXPECT_EQ(left, row.left);
    // The scan timer is the only timer: ScanInterval as it comes.
    EXPECT_EQ(f.loop.NextTimerIn(), 10000);
  }
}

// The interval a worked-through file leaves the scan timer with: ScanInterval held to 1 to 60 s.
TEST(ScanCycle, TheIntervalIsHeldToOneToSixtySeconds) {
  for (const auto& [setting, ms] :
       {std::pair{"0", 1000}, {"90", 60000}, {"2.5", 2500}, {"1E10", 1000}}) {
    RelayOnFakes f;
    f.files.files[kScan] = "";
    f.SetIni("General", "ScanInterval", setting);
    f.relay.ScanTick();
    EXPECT_EQ(f.loop.NextTimerIn(), ms) << setting;
  }
}

// Protocol 5 is https and 0 to 4 http for a URL without its scheme; any other number is refused
// and leaves the last one accepted in force, and one too large for its type counts as 0.
TEST(ScanCycle, ARefusedProtocolLeavesTheLastOneAcceptedInForce) {
  const DefaultScheme kHttp = DefaultScheme::kHttp, kHttps = DefaultScheme::kHttps;
  const std::pair<const char*, DefaultScheme> rows[] = {
      {"7", kHttp},   {"5", kHttps}, {"6", kHttps}, {"-1", kHttps},
      {"1E9", kHttp}, {"5", kHttps}, {"4", kHttp}};
  RelayOnFakes f;
  for (const auto& [setting, scheme] : rows) {
    f.SetIni("Protocol", "Protocol", setting);
    f.files.files[kScan] = "m";
    f.relay.ScanTick();
    EXPECT_EQ(f.http.schemes.back(), scheme) << setting;
  }
}

TEST(ScanCycle, AFeedsFileIsLeftAloneAndWhatIsAppendedAfterTheClaimIsSent) {
  RelayOnFakes f;
  f.files.files[kScan] = "one\ntwo";
  f.files.locked = true;  // a feed is writing
  f.relay.ScanTick();
  EXPECT_EQ(f.files.files.count(kScan), 1u);
  f.files.locked = false;
  // A writer that kept the file open across the claim appends while the first message is sent.
  f.loop.At(1500ms, [&] { f.files.files[kClaim] += "three\r\n"; });
  f.relay.ScanTick();
  EXPECT_EQ(f.http.bodies, (Lines{"<sms>one\ntwo</sms>", "<sms>three</sms>"}));
  std::string log;
  for (const std::string& entry : f.Log()) log += entry;  // a long line spans two entries
  EXPECT_TRUE(log.starts_with("Corbelwynford sends " + kClaim +
                              " as one message: it holds line feeds but no carriage return, and "
                              "each message must end in CR LF Tx: <sms>one<10>two</sms>"))
      << log;
  EXPECT_TRUE(f.files.files.empty());
}

// When the failed-message file goes out again, on a fake clock: RetryAfter after its last append,
// twice as long after each round that delivers nothing but never over an hour, and RetryAfter
// again once a message gets through. Without a FailedFile there is nothing to send, said once.
TEST(ScanCycle, TheRetryDelayDoublesUpToAnHourAndADeliveryEndsIt) {
  RelayOnFakes f;
  f.SetIni("General", "RetryAfter", "60");
  f.relay.ScanTick();
  f.relay.ScanTick();
  EXPECT_EQ(f.Log(), Lines{"Corbelwynford sends nothing again on its own: RetryAfter needs a "
                           "FailedFile"});
  f.SetIni("General", "FailedFile", "failed.txt");
  const std::pair<int64_t, bool> rounds[] = {{60, false},   {120, false}, {240, false},
                                             {480, false},  {960, false}, {1920, false},
                                             {3600, false}, {3600, true}, {60, true}};
  auto outcomes = [&] {
    const Lines log = f.Log();
    return std::count_if(log.begin(), log.end(), [](auto& e) { return e.starts_with("Sending"); });
  };
  for (const auto& [delay, delivers] : rounds) {
    SCOPED_TRACE(delay);
    f.files.files.try_emplace(kFailed, "m\r\n");  // a message failed
    f.files.modified = f.clock.now;
    const auto before = outcomes();
    f.clock.now += delay - 1;
    f.relay.ScanTick();
    EXPECT_EQ(outcomes(), before);  // not yet
    f.clock.now += 1;
    f.http.fail_post = !delivers;
    f.relay.ScanTick();
    EXPECT_EQ(outcomes(), before + 1);
  }
  EXPECT_EQ(f.http.bodies, (Lines{"<sms>m</sms>", "<sms>m</sms>"}));
  // Only a first send that fails counts as a failed message, however many rounds fail again.
  EXPECT_EQ(f.service.status, "Waiting for " + kScan +
                                  "; 2 delivered, 0 failed since start; none "
                                  "kept in " +
                                  kFailed);
}

// An idle tick resolves FailedFile (the identities of five files) only when the setting, the
// incoming file's presence or the failed-message file's facts have changed.
TEST(ScanCycle, AnIdleTickResolvesFailedFileOnlyWhenWhatItRestsOnChanged) {
  RelayOnFakes f;
  f.SetIni("General", "RetryAfter", "60");
  f.SetIni("General", "FailedFile", "failed.txt");
  f.files.files[kFailed] = "m\r\n";
  f.files.modified = f.clock.now;  // not yet due
  f.relay.ScanTick();
  const int resolved = f.files.identities;
  f.relay.ScanTick();
  EXPECT_EQ(f.files.identities, resolved);
  f.files.files[kFailed] += "n\r\n";
  f.relay.ScanTick();
  EXPECT_GT(f.files.identities, resolved);
}

// A claim file left by an interrupted run goes on after the messages its record says are done,
// but only when the record was written for it and those messages are the ones it hashed.
TEST(ScanCycle, AClaimFileGoesOnWhereItsRecordSaysOnlyWhenTheRecordMatches) {
  const struct {
    const char* recorded;  // the messages the record was written after
    std::string identity;  // of the claim file the record was written for
    Lines bodies;
  } rows[] = {{"a", kClaim, {"<sms>b</sms>", "<sms>c</sms>"}},
              {"ab", kClaim, {"<sms>c</sms>"}},
              {"x", kClaim, {"<sms>a</sms>", "<sms>b</sms>", "<sms>c</sms>"}},
              {"a", "/opt/cw/other", {"<sms>a</sms>", "<sms>b</sms>", "<sms>c</sms>"}},
              {"abcd", kClaim, {"<sms>a</sms>", "<sms>b</sms>", "<sms>c</sms>"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.recorded + (" " + row.identity));
    RelayOnFakes f;
    f.files.files[row.identity] = "";
    ClaimProgress written(f.files, row.identity);
    for (const char* m = row.recorded; *m != '\0'; ++m) written.Count(std::string(1, *m));
    written.Record();
    f.files.files[kClaim + ".progress"] = f.files.files[row.identity + ".progress"] + "3 torn";
    f.files.files.erase(row.identity);
    f.files.files[kClaim] = "a\rb\rc";
    f.relay.ScanTick();
    EXPECT_EQ(f.http.bodies, row.bodies);
    EXPECT_EQ(f.files.files.count(kClaim) + f.files.files.count(kClaim + ".progress"), 0u);
  }
}

TEST(ScanCycle, ACloseDuringAPauseEndsAtOnceAndKeepsTheClaimFile) {
  RelayOnFakes f;
  f.files.files[kScan] = "a\rb";
  f.loop.At(1500ms, [&] { f.process.Exit(0); });  // what the program's close handler ends with
  EXPECT_THROW(f.relay.ScanTick(), testing::ProcessExit);
  EXPECT_LT(f.loop.now, 1600ms);
  EXPECT_EQ(f.http.bodies.size(), 1u);
  EXPECT_EQ(f.files.files.count(kClaim), 1u);
}

}  // namespace
}  // namespace cw
