// The libcurl control against the loopback server (tests/servers/http_server.py): its time-out,
// what it keeps of an answer, and the event loop's Sleep moving a large upload. Headers and trust
// run on the real binary.
#include "platform/posix/curl_transfer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/posix_event_loop.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

namespace fs = std::filesystem;

fs::path TempDir() {
  std::string pattern = (fs::temp_directory_path() / "cw_curl_XXXXXX").string();
  return mkdtemp(pattern.data());
}

std::string ReadFile(const fs::path& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// The test server in the background, ended by its pid; each request it took leaves a "head" file
// (request line and header lines, each ending in CR LF) and a "body" file.
class TestServer {
 public:
  TestServer() {
    const std::string dir = "'" + dir_.string() + "/";
    std::system(("'" CW_PYTHON "' '" CW_SOURCE_DIR "/tests/servers/http_server.py' --record " +
                 dir + "record' --port-file " + dir + "port' >/dev/null & echo $! >" + dir + "pid'")
                    .c_str());
    std::ifstream(dir_ / "pid") >> pid_;
    for (int i = 0; i < 2000 && pid_ > 0 && port_ == 0; ++i) {
      usleep(10000);
      std::ifstream(dir_ / "port") >> port_;
    }
  }
  ~TestServer() {
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0) {
      for (int i = 0; i < 500 && kill(pid_, 0) == 0; ++i) usleep(10000);
    }
    fs::remove_all(dir_);
  }
  bool Started() const { return port_ > 0; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  fs::path Recorded(int i, const char* part) const {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.%s", i, part);
    return dir_ / "record" / name;
  }
  int Count() const {
    int n = 0;
    while (fs::exists(Recorded(n, "head"))) ++n;
    return n;
  }

 private:
  const fs::path dir_ = TempDir();
  pid_t pid_ = 0;
  int port_ = 0;
};

class CurlTransferTest : public ::testing::Test {
 protected:
  // The state the request ended in, or 0 when none came within `seconds`.
  int16_t Run(const std::string& url, const std::string& data = "", const std::string& headers = "",
              double seconds = 20) {
    states_.clear();
    transfer_.Execute(url, data, headers);
    RunFor(seconds, [this] { return !states_.empty(); });
    return states_.empty() ? 0 : states_.front();
  }
  // Waits and drives as the event loop does, until done() or `seconds` have passed.
  template <typename Done>
  void RunFor(double seconds, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      transfer_.Wait(nullptr, 0, 50);
      transfer_.Perform();
      transfer_.Report();
    }
  }

  std::vector<int16_t> states_;
  CurlTransfer transfer_{[this](int16_t state) { states_.push_back(state); }};
};

TEST_F(CurlTransferTest, RequestTimeoutEndsARequestInError) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  transfer_.SetRequestTimeout(1);
  EXPECT_EQ(Run(server.Url("/never"), "x", "", /*seconds=*/10), TransferControl::kStateError);
}

// Only the start of a long answer is kept. Then the server takes the next request on the kept
// connection and closes it without an answer: libcurl would post it once more by itself.
TEST_F(CurlTransferTest, KeepsTheAnswersStartAndNeverPostsARequestTwice) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(Run(server.Url("/body/5000")), TransferControl::kStateResponseCompleted);
  std::string start;
  for (int i = 0; i < 1024; ++i) start += static_cast<char>(i % 251);
  EXPECT_EQ(transfer_.GetChunk(1 << 20), start);
  EXPECT_EQ(Run(server.Url("/close")), TransferControl::kStateError);
  RunFor(0.3, [] { return false; });
  EXPECT_EQ(server.Count(), 2);
}

// Sleep keeps an upload moving, yet dispatches nothing: no timer tick, no state change. The body,
// over 1 MiB where libcurl would add "Expect: 100-continue" by itself, goes as it is with the
// configured header lines alone, whatever ends them.
TEST_F(CurlTransferTest, LoopSleepMovesTheTransferAndDispatchesNothing) {
  struct Events : testing::NullEvents {
    std::vector<std::string> seen;
    void OnTimer(TimerId) override { seen.push_back("tick"); }
    void OnTransferStateChanged(int16_t state) override {
      seen.push_back("state " + std::to_string(state));
    }
  } events;
  std::string big;
  for (size_t i = 0; big.size() < 4 * 1024 * 1024; ++i) big += static_cast<char>(i * 7 % 256);
  TestServer server;
  ASSERT_TRUE(server.Started());
  PosixEventLoop loop;
  CurlTransfer transfer([&](int16_t state) { events.OnTransferStateChanged(state); });
  loop.Attach(&events, &transfer, nullptr);
  loop.SetTimerInterval(TimerId::kSystem, 10);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  transfer.Execute(server.Url("/ok"), big, "X-A: 1\rX-B: two\nNo-Colon;");
  for (int i = 0; i < 200 && server.Count() == 0; ++i) loop.Sleep(100);
  EXPECT_EQ(server.Count(), 1);
  EXPECT_TRUE(events.seen.empty());
  EXPECT_TRUE(transfer.StillExecuting());
  loop.SetTimerEnabled(TimerId::kSystem, false);
  for (int i = 0; i < 200 && transfer.StillExecuting(); ++i) {
    loop.ProcessPendingEvents();
    loop.Sleep(50);
  }
  EXPECT_EQ(events.seen, std::vector<std::string>{"state 12"});
  EXPECT_EQ(ReadFile(server.Recorded(0, "body")), big);
  const std::string head = ReadFile(server.Recorded(0, "head"));
  for (const char* line : {"\r\nX-A: 1\r\n", "\r\nX-B: two\r\n"})
    EXPECT_NE(head.find(line), std::string::npos) << head;
  for (const char* name : {"Expect", "No-Colon"}) EXPECT_EQ(head.find(name), std::string::npos);
}

}  // namespace
}  // namespace cw
