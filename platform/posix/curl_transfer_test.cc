#include "platform/posix/curl_transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"

extern char** environ;

namespace cw {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Runs argv and returns its pid; stdout goes to stdout_fd when that is not -1.
pid_t Spawn(const std::vector<std::string>& args, int stdout_fd) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd != -1) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = -1;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// Waits for pid at most `seconds`; returns its wait status or -1.
int WaitFor(pid_t pid, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  return -1;
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
const TempDir& CertDir() {
  static const TempDir dir;
  static const bool made = [] {
    pid_t pid = Spawn({"sh", CW_SOURCE_DIR "/tests/servers/make_cert.sh", dir.path.string()}, -1);
    return pid != -1 && WaitFor(pid, 60) == 0;
  }();
  if (!made) ADD_FAILURE() << "make_cert.sh failed";
  return dir;
}

// A minimal reader for the server's JSON lines: objects, arrays, strings, literals.
struct Json {
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;
  const Json& operator[](const std::string& key) const {
    for (const auto& [name, value] : members) {
      if (name == key) return value;
    }
    static const Json kMissing;
    return kMissing;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& in) : in_(in) {}
  Json Value() {
    Skip();
    Json value;
    char c = in_.at(pos_);
    if (c == '{') {
      ++pos_;
      while (Skip(), in_.at(pos_) != '}') {
        std::string key = String();
        Skip();
        ++pos_;  // ':'
        value.members.emplace_back(key, Value());
        Skip();
        if (in_.at(pos_) == ',') ++pos_;
      }
      ++pos_;
    } else if (c == '[') {
      ++pos_;
      while (Skip(), in_.at(pos_) != ']') {
        value.items.push_back(Value());
        Skip();
        if (in_.at(pos_) == ',') ++pos_;
      }
      ++pos_;
    } else if (c == '"') {
      value.text = String();
    } else {
      while (pos_ < in_.size() && std::string_view(",]} ").find(in_[pos_]) == std::string::npos) {
        value.text += in_[pos_++];
      }
    }
    return value;
  }

 private:
  void Skip() {
    while (pos_ < in_.size() && (in_[pos_] == ' ' || in_[pos_] == '\n')) ++pos_;
  }
  // The server writes pure ASCII; \u00XX stands for the byte XX (headers are Latin-1).
  std::string String() {
    std::string out;
    ++pos_;
    while (in_.at(pos_) != '"') {
      char c = in_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      char e = in_.at(pos_++);
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u':
          out += static_cast<char>(std::stoi(in_.substr(pos_, 4), nullptr, 16));
          pos_ += 4;
          break;
        default:
          out += e;
      }
    }
    ++pos_;
    return out;
  }
  const std::string& in_;
  size_t pos_ = 0;
};

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    size_t value = kAlphabet.find(c);
    if (value == std::string::npos) continue;  // '=' padding
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

struct Recorded {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Every value of the header `name` (case-insensitive), in wire order.
  std::vector<std::string> Values(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
      if (strcasecmp(key.c_str(), name.c_str()) == 0) values.push_back(value);
    }
    return values;
  }
};

// tests/servers/http_server.py as a child process, ended by its pid.
class TestServer {
 public:
  explicit TestServer(bool tls = false) : tls_(tls) {
    record_ = dir_.path / "record.jsonl";
    std::vector<std::string> args = {CW_PYTHON, CW_SOURCE_DIR "/tests/servers/http_server.py",
                                     "--record", record_.string()};
    if (tls) {
      args.insert(args.end(), {"--tls", (CertDir().path / "cert.pem").string(),
                               (CertDir().path / "key.pem").string()});
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn(args, fds[1]);
    close(fds[1]);
    std::string line;
    pollfd wait_for{fds[0], POLLIN, 0};
    while (pid_ != -1 && line.find('\n') == std::string::npos && poll(&wait_for, 1, 20000) == 1) {
      char buffer[64];
      ssize_t got = read(fds[0], buffer, sizeof buffer);
      if (got <= 0) break;
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
  int Port() const { return port_; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& path) const {
    return (tls_ ? "https://" : "http://") + HostPort() + path;
  }
  std::vector<Recorded> Records() const {
    std::vector<Recorded> records;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
      Json json = JsonReader(line).Value();
      Recorded entry{
          json["method"].text, json["path"].text, {}, Base64Decode(json["body_b64"].text)};
      for (const Json& pair : json["headers"].items) {
        entry.headers.emplace_back(pair.items.at(0).text, pair.items.at(1).text);
      }
      records.push_back(std::move(entry));
    }
    return records;
  }

 private:
  bool tls_;
  TempDir dir_;
  fs::path record_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// The server's /body/N pattern.
std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::string EveryByteTwice() {
  std::string out;
  for (int round = 0; round < 2; ++round) {
    for (int value = 0; value < 256; ++value) out += static_cast<char>(value);
  }
  return out;
}

// A loopback port that nothing listens on.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long total = 0, resident = 0;
  statm >> total >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

class CurlTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("SSL_CERT_FILE");
    unsetenv("CURL_CA_BUNDLE");
    unsetenv("SSL_CERT_DIR");
  }
  void TrustTestCertificate() { setenv("SSL_CERT_FILE", (CertDir().path / "cert.pem").c_str(), 1); }
  // The event loop in small: wait, then drive, until `done` or the deadline.
  void RunUntil(const std::function<bool()>& done, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && Clock::now() < deadline) {
      transfer_.Wait(nullptr, 0, 50);
      transfer_.Drive();
    }
  }
  // The first state reported for the request, or 0 when none came within 30 s.
  int16_t Finish() {
    RunUntil([this] { return !states_.empty(); }, 30);
    return states_.empty() ? 0 : states_.front();
  }
  void Post(const std::string& url, const std::string& data = "", const std::string& headers = "") {
    states_.clear();
    transfer_.Execute(url, "POST", data, headers);
  }

  std::vector<int16_t> states_;
  CurlTransfer transfer_{[this](int16_t state) { states_.push_back(state); }};
};

// --- The request on the wire ---

TEST_F(CurlTransferTest, BodySendsEveryByteValueUnchanged) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/ok"), EveryByteTwice(), "X-First: 1\r\nX-Second: two words\r\nX-Third: 3");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].method, "POST");
  EXPECT_EQ(records[0].body, EveryByteTwice());
  std::vector<std::string> custom;
  for (const auto& [name, value] : records[0].headers) {
    if (name.rfind("X-", 0) == 0) custom.push_back(name + "=" + value);
  }
  EXPECT_EQ(custom, (std::vector<std::string>{"X-First=1", "X-Second=two words", "X-Third=3"}));
  EXPECT_TRUE(records[0].Values("Content-Type").empty());
  EXPECT_TRUE(records[0].Values("Expect").empty());
}

TEST_F(CurlTransferTest, BodySendsEveryByteValueUnchangedOverHttps) {
  TestServer server(/*tls=*/true);
  ASSERT_TRUE(server.Started());
  TrustTestCertificate();
  Post(server.Url("/ok"), EveryByteTwice(), "X-Over: tls");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body, EveryByteTwice());
  EXPECT_EQ(records[0].Values("X-Over"), std::vector<std::string>{"tls"});
  EXPECT_TRUE(records[0].Values("Content-Type").empty());
}

TEST_F(CurlTransferTest, LargeBodyGoesWithoutExpectOrContentType) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  std::string body;
  for (size_t i = 0; body.size() < 2 * 1024 * 1024; ++i) body += static_cast<char>((i * 37) >> 3);
  Post(server.Url("/ok"), body, "X-Big: yes");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body, body);
  EXPECT_TRUE(records[0].Values("Expect").empty());
  EXPECT_TRUE(records[0].Values("Content-Type").empty());
}

TEST_F(CurlTransferTest, ConfiguredContentTypeAndExpectAreSentAsWritten) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  std::string body(2 * 1024 * 1024, 'x');
  Post(server.Url("/ok"), body, "content-type: text/plain; charset=utf-8\r\nEXPECT: 100-continue");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Values("Content-Type"),
            std::vector<std::string>{"text/plain; charset=utf-8"});
  EXPECT_EQ(records[0].Values("Expect"), std::vector<std::string>{"100-continue"});
  EXPECT_EQ(records[0].body.size(), body.size());
}

TEST_F(CurlTransferTest, LoneCrAndLfEndHeaderLines) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/ok"), "x", "X-A: 1\nX-B: 2\rX-C: 3\r\n\r\n\n\r  \r\nX-D: 4\r");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  std::vector<std::string> custom;
  for (const auto& [name, value] : records[0].headers) {
    EXPECT_EQ((name + value).find_first_of("\r\n"), std::string::npos) << name << value;
    if (name.rfind("X-", 0) == 0) custom.push_back(name + "=" + value);
  }
  EXPECT_EQ(custom, (std::vector<std::string>{"X-A=1", "X-B=2", "X-C=3", "X-D=4"}));
}

TEST_F(CurlTransferTest, GetSendsNoBody) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  transfer_.Execute(server.Url("/ok?q=1"), "GET", "ignored", "");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].method, "GET");
  EXPECT_EQ(records[0].path, "/ok?q=1");
  EXPECT_EQ(records[0].body, "");
}

// --- The answer ---

TEST_F(CurlTransferTest, KeepsTheFirst1024BytesOfALongerAnswer) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/body/3000"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_FALSE(transfer_.StillExecuting());
  EXPECT_EQ(transfer_.GetChunk(1024), Pattern(1024));
  EXPECT_EQ(transfer_.GetChunk(1024), "");
  EXPECT_EQ(transfer_.ResponseCode(), 200);
}

TEST_F(CurlTransferTest, SuccessiveChunksHandOutTheKeptBytesInOrder) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/body/3000"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  std::string expected = Pattern(1024);
  EXPECT_EQ(transfer_.GetChunk(1000), expected.substr(0, 1000));
  EXPECT_EQ(transfer_.GetChunk(0), "");
  EXPECT_EQ(transfer_.GetChunk(1000), expected.substr(1000));
  EXPECT_EQ(transfer_.GetChunk(1000), "");
  Post(server.Url("/ok"));
  EXPECT_EQ(transfer_.GetChunk(1024), "");  // Nothing of the old answer once a new one runs.
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(transfer_.GetChunk(1024), "OK");
}

TEST_F(CurlTransferTest, HundredMegabyteAnswerKeepsMemoryFlat) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/body/1000000"));  // Warm up: libcurl's and OpenSSL's own one-time set-up.
  ASSERT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  long before = ResidentBytes();
  Post(server.Url("/body/100000000"));
  ASSERT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  long growth = ResidentBytes() - before;
  std::printf("resident memory growth over a 100 MB answer: %ld KiB\n", growth / 1024);
  EXPECT_LT(growth, 4L * 1024 * 1024);
  EXPECT_EQ(transfer_.GetChunk(2048), Pattern(1024));
}

TEST_F(CurlTransferTest, ErrorStatusStillCompletes) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(transfer_.ResponseCode(), 0);
  Post(server.Url("/status/500"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(transfer_.ResponseCode(), 500);
  EXPECT_EQ(transfer_.GetChunk(1024), "Status 500");
}

TEST_F(CurlTransferTest, RedirectIsNotFollowed) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/redirect"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(transfer_.ResponseCode(), 301);
  RunUntil([] { return false; }, 0.3);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, "/redirect");
}

TEST_F(CurlTransferTest, BrokenAnswersEndInError) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  for (const char* path : {"/close", "/half", "/garbage"}) {
    Post(server.Url(path));
    EXPECT_EQ(Finish(), TransferControl::kStateError) << path;
    EXPECT_EQ(states_.size(), 1u) << path;
    EXPECT_FALSE(transfer_.StillExecuting()) << path;
    EXPECT_EQ(transfer_.GetChunk(1024), "") << path;
  }
}

TEST_F(CurlTransferTest, RequestDroppedWithoutAnswerIsNotSentAgain) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  // The first request leaves a keep-alive connection behind; the server takes the second one and
  // closes without an answer, which must not make libcurl post it once more.
  Post(server.Url("/ok"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  Post(server.Url("/close"));
  EXPECT_EQ(Finish(), TransferControl::kStateError);
  RunUntil([] { return false; }, 0.3);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].path, "/close");
}

TEST_F(CurlTransferTest, RefusedConnectionEndsInError) {
  Post("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/ok");
  EXPECT_EQ(Finish(), TransferControl::kStateError);
  EXPECT_FALSE(transfer_.StillExecuting());
}

TEST_F(CurlTransferTest, CaBundleVariablesAreHonouredWithSslCertFileFirst) {
  TestServer server(/*tls=*/true);
  ASSERT_TRUE(server.Started());
  const std::string test_ca = (CertDir().path / "cert.pem").string();
  setenv("CURL_CA_BUNDLE", test_ca.c_str(), 1);
  Post(server.Url("/ok"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  setenv("CURL_CA_BUNDLE", "/nonexistent/bundle.pem", 1);
  setenv("SSL_CERT_FILE", test_ca.c_str(), 1);
  Post(server.Url("/ok"));
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  setenv("SSL_CERT_FILE", "/nonexistent/bundle.pem", 1);
  setenv("CURL_CA_BUNDLE", test_ca.c_str(), 1);
  Post(server.Url("/ok"));
  EXPECT_EQ(Finish(), TransferControl::kStateError);
}

TEST_F(CurlTransferTest, UntrustedCertificateEndsInError) {
  TestServer server(/*tls=*/true);
  ASSERT_TRUE(server.Started());
  Post(server.Url("/ok"));
  EXPECT_EQ(Finish(), TransferControl::kStateError);
  EXPECT_TRUE(server.Records().empty());
}

// --- Running, cancelling, notifying ---

TEST_F(CurlTransferTest, StateArrivesOnlyFromDrive) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/ok"));
  for (int i = 0; i < 10; ++i) transfer_.Wait(nullptr, 0, 30);
  EXPECT_TRUE(states_.empty());
  EXPECT_TRUE(transfer_.StillExecuting());
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
}

TEST_F(CurlTransferTest, SilentServerKeepsExecutingUntilCancelled) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  for (const char* path : {"/never", "/headers-then-stall"}) {
    Post(server.Url(path));
    RunUntil([] { return false; }, 1.0);
    EXPECT_TRUE(transfer_.StillExecuting()) << path;
    transfer_.Cancel();
    EXPECT_FALSE(transfer_.StillExecuting()) << path;
    RunUntil([] { return false; }, 1.0);
    EXPECT_TRUE(states_.empty()) << path;
  }
  EXPECT_EQ(server.Records().size(), 2u);
  Post(server.Url("/ok"));  // The control is usable again after a cancel.
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
}

TEST_F(CurlTransferTest, CancelWhenIdleIsHarmless) {
  transfer_.Cancel();
  EXPECT_FALSE(transfer_.StillExecuting());
  RunUntil([] { return false; }, 0.1);
  EXPECT_TRUE(states_.empty());
}

TEST_F(CurlTransferTest, ExecuteWhileExecutingThrowsAndKeepsTheRunningRequest) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  Post(server.Url("/delay/0.3"));
  EXPECT_THROW(transfer_.Execute(server.Url("/ok"), "POST", "", ""), RelayError);
  EXPECT_TRUE(transfer_.StillExecuting());
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, "/delay/0.3");
}

TEST_F(CurlTransferTest, HandlerMayReadTheAnswerAndStartTheNextRequest) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  std::vector<std::string> seen;
  CurlTransfer* self = nullptr;
  CurlTransfer chained([&](int16_t state) {
    seen.push_back(std::to_string(state) + (self->StillExecuting() ? " running " : " idle ") +
                   self->GetChunk(1024));
    if (seen.size() == 1) self->Execute(server.Url("/status/404"), "POST", "", "");
  });
  self = &chained;
  chained.Execute(server.Url("/ok"), "POST", "", "");
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (seen.size() < 2 && Clock::now() < deadline) {
    chained.Wait(nullptr, 0, 50);
    chained.Drive();
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"12 idle OK", "12 idle Status 404"}));
}

TEST_F(CurlTransferTest, DestroyingWhileExecutingLetsTheServerSeeTheClientGo) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  {
    CurlTransfer doomed([](int16_t) { ADD_FAILURE() << "no state expected"; });
    doomed.Execute(server.Url("/never"), "POST", "data", "");
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (server.Records().empty() && Clock::now() < deadline) {
      doomed.Wait(nullptr, 0, 50);
      doomed.Drive();
    }
  }
  EXPECT_EQ(server.Records().size(), 1u);
}

// --- URLs and the protocol number ---

TEST_F(CurlTransferTest, UnusableUrlsThrowAtOnceAndLeaveNothingExecuting) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  const std::string port = std::to_string(server.Port());
  for (const std::string& url :
       {std::string(""), std::string("http://"), std::string("http://exa mple.com/"),
        std::string("ht@tp://127.0.0.1/"), "ftp://127.0.0.1:" + port + "/",
        std::string("file:///etc/passwd"), "gopher://127.0.0.1:" + port + "/",
        std::string("http://127.0.0.1/a\0b", 20), std::string("http://127.0.0.1:99999/")}) {
    EXPECT_THROW(transfer_.Execute(url, "POST", "x", ""), RelayError) << url;
    EXPECT_FALSE(transfer_.StillExecuting()) << url;
  }
  EXPECT_THROW(transfer_.Execute(server.Url("/ok"), "PO ST", "x", ""), RelayError);
  EXPECT_THROW(transfer_.Execute(server.Url("/ok"), "POST", "x", std::string("X-A: a\0b", 8)),
               RelayError);
  EXPECT_FALSE(transfer_.StillExecuting());
  RunUntil([] { return false; }, 0.3);
  EXPECT_TRUE(states_.empty());
  EXPECT_TRUE(server.Records().empty());
}

TEST_F(CurlTransferTest, ProtocolAcceptsZeroToFiveOnly) {
  EXPECT_EQ(transfer_.Protocol(), 0);
  transfer_.SetProtocol(5);
  transfer_.SetProtocol(4);
  EXPECT_THROW(transfer_.SetProtocol(7), RelayError);
  EXPECT_THROW(transfer_.SetProtocol(-1), RelayError);
  EXPECT_EQ(transfer_.Protocol(), 4);
  transfer_.SetProtocol(0);
  EXPECT_EQ(transfer_.Protocol(), 0);
}

TEST_F(CurlTransferTest, UrlWithoutSchemeFollowsTheProtocol) {
  TestServer plain;
  TestServer secure(/*tls=*/true);
  ASSERT_TRUE(plain.Started() && secure.Started());
  TrustTestCertificate();
  for (int32_t protocol : {0, 4}) {
    transfer_.SetProtocol(protocol);
    Post(plain.HostPort() + "/ok");
    EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted) << protocol;
  }
  EXPECT_EQ(plain.Records().size(), 2u);
  transfer_.SetProtocol(5);
  Post(secure.HostPort() + "/ok");
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(secure.Records().size(), 1u);
  Post(plain.HostPort() + "/ok");  // TLS spoken to a plain server.
  EXPECT_EQ(Finish(), TransferControl::kStateError);
  Post(plain.Url("/ok"));  // A written scheme wins over the protocol.
  EXPECT_EQ(Finish(), TransferControl::kStateResponseCompleted);
  EXPECT_EQ(plain.Records().size(), 3u);
}

}  // namespace
}  // namespace cw
