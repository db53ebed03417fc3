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

using State = TransferOutcome::State;

class CurlTransferTest : public ::testing::Test {
 protected:
  // What became of the request, waiting and driving it as the event loop does for up to
  // `seconds`.
  State Run(const std::string& url, double seconds = 20) {
    transfer_.Execute(url, "x", "");
    RunFor(seconds);
    return transfer_.Outcome().state;
  }
  void RunFor(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (transfer_.StillExecuting() && std::chrono::steady_clock::now() < deadline) {
      transfer_.Wait(nullptr, 0, 50);
    }
  }

  CurlTransfer transfer_;
};

TEST_F(CurlTransferTest, RequestTimeoutEndsARequestInError) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  transfer_.SetRequestTimeout(1);
  EXPECT_EQ(Run(server.Url("/never"), /*seconds=*/10), State::kFailed);
}

// Only the start of a long answer is kept. Then the server takes the next request on the kept
// connection and closes it without an answer: libcurl would post it once more by itself.
TEST_F(CurlTransferTest, KeepsTheAnswersStartAndNeverPostsARequestTwice) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(Run(server.Url("/body/5000")), State::kCompleted);
  std::string start;
  for (int i = 0; i < 1024; ++i) start += static_cast<char>(i % 251);
  EXPECT_EQ(transfer_.Outcome().answer, start);
  EXPECT_EQ(Run(server.Url("/close")), State::kFailed);
  for (int i = 0; i < 6; ++i) transfer_.Wait(nullptr, 0, 50);
  EXPECT_EQ(server.Count(), 2);
}

// The loop's Sleep carries an upload to its end, yet runs no handler: the timer that fell due
// ticks at the next ProcessPendingEvents. The body, over 1 MiB where libcurl would add "Expect:
// 100-continue" by itself, goes as it is with the configured header lines alone, whatever ends
// them.
TEST_F(CurlTransferTest, LoopSleepMovesTheTransferAndRunsNoHandler) {
  std::string big;
  for (size_t i = 0; big.size() < 4 * 1024 * 1024; ++i) big += static_cast<char>(i * 7 % 256);
  TestServer server;
  ASSERT_TRUE(server.Started());
  PosixEventLoop loop;
  int ticks = 0;
  loop.OnTimer([&](TimerId) { ++ticks; });
  loop.SetWait([&](pollfd* fds, unsigned count, int ms) { transfer_.Wait(fds, count, ms); });
  loop.SetTimerInterval(TimerId::kSystem, 10);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  transfer_.Execute(server.Url("/ok"), big, "X-A: 1\rX-B: two\nNo-Colon;");
  for (int i = 0; i < 200 && transfer_.StillExecuting(); ++i) loop.Sleep(100);
  EXPECT_EQ(transfer_.Outcome().status, 200);
  EXPECT_EQ(ticks, 0);
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(ReadFile(server.Recorded(0, "body")), big);
  const std::string head = ReadFile(server.Recorded(0, "head"));
  for (const char* line : {"\r\nX-A: 1\r\n", "\r\nX-B: two\r\n"})
    EXPECT_NE(head.find(line), std::string::npos) << head;
  for (const char* name : {"Expect", "No-Colon"}) EXPECT_EQ(head.find(name), std::string::npos);
}

}  // namespace
}  // namespace cw
