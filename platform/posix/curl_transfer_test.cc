// The libcurl control against the loopback server (tests/servers/http_server.py): the bytes and
// headers on the wire, trust, its time-out, cancel, and the event loop's Sleep moving a transfer.
#include "platform/posix/curl_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/posix_event_loop.h"

extern char** environ;

namespace cw {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& args, int stdout_fd) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd != -1) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The wait status of pid, or -1 when it has not ended within `seconds`.
int WaitFor(pid_t pid, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (Clock::now() > deadline) return -1;
    usleep(10000);
  }
  return status;
}

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "cw_curl_XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

// The self-signed certificate for 127.0.0.1, made once per test process.
std::string CertFile() {
  static const TempDir dir;
  static const bool made = [] {
    pid_t pid = Spawn({"sh", CW_SOURCE_DIR "/tests/servers/make_cert.sh", dir.path.string()}, -1);
    return pid != -1 && WaitFor(pid, 60) == 0;
  }();
  EXPECT_TRUE(made) << "make_cert.sh failed";
  return (dir.path / "cert.pem").string();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The test server as a child process, ended by its pid.
class TestServer {
 public:
  explicit TestServer(bool tls = false) {
    std::vector<std::string> args = {CW_PYTHON, CW_SOURCE_DIR "/tests/servers/http_server.py",
                                     "--record", dir_.path.string()};
    if (tls) {
      const std::string cert = CertFile();
      args.insert(args.end(), {"--tls", cert, fs::path(cert).replace_filename("key.pem")});
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn(args, fds[1]);
    close(fds[1]);
    std::string line;
    pollfd readable{fds[0], POLLIN, 0};
    char buffer[64];
    ssize_t got = 0;
    while (pid_ != -1 && line.find('\n') == std::string::npos && poll(&readable, 1, 20000) == 1 &&
           (got = read(fds[0], buffer, sizeof buffer)) > 0) {
      line.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    port_ = std::atoi(line.c_str());
  }
  ~TestServer() {
    if (pid_ == -1) return;
    kill(pid_, SIGTERM);
    if (WaitFor(pid_, 10) == -1) {
      kill(pid_, SIGKILL);
      WaitFor(pid_, 10);
    }
  }
  bool Started() const { return port_ > 0; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& path) const { return "http://" + HostPort() + path; }
  // Request i's file: "head" (request line and header lines, each ending in CR LF) or "body".
  fs::path Recorded(int i, const char* part) const {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.%s", i, part);
    return dir_.path / name;
  }
  int Count() const {
    int n = 0;
    while (fs::exists(Recorded(n, "head"))) ++n;
    return n;
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

class CurlTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"SSL_CERT_FILE", "CURL_CA_BUNDLE", "SSL_CERT_DIR"}) unsetenv(name);
  }
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
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && Clock::now() < deadline) {
      transfer_.Wait(nullptr, 0, 50);
      transfer_.Perform();
      transfer_.Report();
    }
  }

  std::vector<int16_t> states_;
  CurlTransfer transfer_{[this](int16_t state) { states_.push_back(state); }};
};

TEST_F(CurlTransferTest, SendsTheBodyAndTheConfiguredHeadersOnly) {
  std::string big;  // over 1 MiB, where libcurl would add "Expect: 100-continue" by itself
  for (size_t i = 0; big.size() < 2 * 1024 * 1024; ++i) big += static_cast<char>(i * 7 % 256);
  const struct {
    std::string configured;
    std::string body;
    std::vector<std::string> sent;  // besides Host and Content-Length
  } cases[] = {
      {"", big, {}},
      {"X-A: 1\nX-B: two words\rX-C: 3\r\n\r\n  \r\nX-No-Colon;",
       "x",
       {"X-A: 1", "X-B: two words", "X-C: 3"}},
      {"X-Empty:\r\nAccept:\r\nX-Blank:  ", "x", {"X-Empty:", "Accept:", "X-Blank:"}},
      {"content-type: text/xml; charset=utf-8\r\nEXPECT: 100-continue\r\nAccept: */*",
       big,
       {"content-type: text/xml; charset=utf-8", "EXPECT: 100-continue", "Accept: */*"}},
  };
  TestServer server;
  ASSERT_TRUE(server.Started());
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured);
    ASSERT_EQ(Run(server.Url("/ok"), c.body, c.configured),
              TransferControl::kStateResponseCompleted);
    EXPECT_EQ(ReadFile(server.Recorded(i, "body")), c.body);
    std::istringstream head(ReadFile(server.Recorded(i++, "head")));
    std::string line;
    std::getline(head, line);
    EXPECT_EQ(line.rfind("POST /ok HTTP/1.1", 0), 0u) << line;
    std::vector<std::string> sent;
    while (std::getline(head, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.rfind("Host:", 0) != 0 && line.rfind("Content-Length:", 0) != 0) {
        sent.push_back(line);
      }
    }
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(CurlTransferTest, TrustsTheCaOfSslCertFileFirstThenCurlCaBundle) {
  const struct {
    const char* ssl_cert_file;
    const char* curl_ca_bundle;
    int16_t state;
  } cases[] = {
      {nullptr, nullptr, TransferControl::kStateError},
      {"test", nullptr, TransferControl::kStateResponseCompleted},
      {nullptr, "test", TransferControl::kStateResponseCompleted},
      {"/nonexistent.pem", "test", TransferControl::kStateError},
  };
  TestServer server(/*tls=*/true);
  ASSERT_TRUE(server.Started());
  transfer_.SetProtocol(kProtocolHttps);  // the URL below names no scheme
  for (const auto& c : cases) {
    for (auto [name, value] : {std::pair{"SSL_CERT_FILE", c.ssl_cert_file},
                               std::pair{"CURL_CA_BUNDLE", c.curl_ca_bundle}}) {
      if (value == nullptr) {
        unsetenv(name);
      } else {
        setenv(name, std::string(value) == "test" ? CertFile().c_str() : value, 1);
      }
    }
    EXPECT_EQ(Run(server.HostPort() + "/ok"), c.state)
        << (c.ssl_cert_file ? c.ssl_cert_file : "-") << " "
        << (c.curl_ca_bundle ? c.curl_ca_bundle : "-");
  }
}

TEST_F(CurlTransferTest, RequestTimeoutEndsARequestInError) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  transfer_.SetRequestTimeout(1);
  EXPECT_EQ(Run(server.Url("/never"), "x", "", /*seconds=*/10), TransferControl::kStateError);
}

TEST_F(CurlTransferTest, CancelledRequestReportsNothingAndTheNextOneRuns) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  for (const char* path : {"/never", "/headers-then-stall"}) {
    Run(server.Url(path), "x", "", /*seconds=*/0.5);
    EXPECT_THROW(transfer_.Execute(server.Url("/ok"), "", ""), RelayError);
    ASSERT_TRUE(transfer_.StillExecuting()) << path;
    transfer_.Cancel();
    EXPECT_FALSE(transfer_.StillExecuting()) << path;
    RunFor(0.5, [] { return false; });
    EXPECT_TRUE(states_.empty()) << path;
  }
  EXPECT_EQ(Run(server.Url("/ok")), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(transfer_.GetChunk(1024), "OK");
}

// After a keep-alive answer the server takes the next request and closes without an answer;
// libcurl would post it once more on a new connection by itself.
TEST_F(CurlTransferTest, RequestDroppedWithoutAnswerIsNotPostedAgain) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(Run(server.Url("/ok")), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(Run(server.Url("/close")), TransferControl::kStateError);
  RunFor(0.3, [] { return false; });
  EXPECT_EQ(server.Count(), 2);
}

// Sleep keeps an upload moving, yet dispatches nothing: no timer tick, no state change.
TEST_F(CurlTransferTest, LoopSleepMovesTheTransferAndDispatchesNothing) {
  struct Events : WindowEvents {
    std::vector<std::string> seen;
    void OnTimer(TimerId) override { seen.push_back("tick"); }
    void OnResize() override {}
    void OnCloseRequest(int16_t) override {}
    void OnTransferStateChanged(int16_t state) override {
      seen.push_back("state " + std::to_string(state));
    }
    void OnServiceStart(bool&) override {}
    void OnServicePause(bool&) override {}
    void OnServiceContinue(bool&) override {}
    void OnServiceStop() override {}
  } events;
  TestServer server;
  ASSERT_TRUE(server.Started());
  PosixEventLoop loop;
  CurlTransfer transfer([&](int16_t state) { events.OnTransferStateChanged(state); });
  loop.Attach(&events, &transfer, nullptr);
  loop.SetTimerInterval(TimerId::kSystem, 10);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  transfer.Execute(server.Url("/ok"), std::string(4 * 1024 * 1024, 'x'), "");
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
}

}  // namespace
}  // namespace cw
