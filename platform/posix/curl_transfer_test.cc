// The libcurl transfer against the loopback server (tests/servers/http_server.py), carried by the
// event loop: the request time-out, and a large upload with configured header lines. What it
// keeps of an answer and that it never posts a message twice run on the real binary
// (tests/e2e/test_relay.py).
#include "platform/posix/curl_transfer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/posix_event_loop.h"
#include "platform/posix/test_folder.h"

namespace cw {
namespace {

// The test server in the background, ended by its pid. Request i leaves dir/NNNNNN.head (its
// request and header lines, each ending in CR LF) and dir/NNNNNN.body.
struct TestServer {
  TestServer() {
    std::system(("'" CW_PYTHON "' '" CW_SOURCE_DIR "/tests/servers/http_server.py' --record '" +
                 dir + "' --port-file '" + dir + "/port' >/dev/null & echo $! >'" + dir + "/pid'")
                    .c_str());
    std::ifstream(dir + "/pid") >> pid;
    for (int i = 0; i < 2000 && pid > 0 && port == 0; ++i) {
      usleep(10000);
      std::ifstream(dir + "/port") >> port;
    }
  }
  ~TestServer() {
    if (pid > 0 && kill(pid, SIGTERM) == 0) {
      for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) usleep(10000);
    }
  }

  testing::TestFolder folder;  // removed once the server has ended
  const std::string dir = folder.path;
  pid_t pid = 0;
  int port = 0;
};

// A request that gets no answer ends in error at its time-out. The body, over 1 MiB where libcurl
// would add "Expect: 100-continue" by itself, goes as it is with the configured header lines
// alone, whatever ends them, to a URL written without its scheme.
TEST(CurlTransfer, TimesOutAndTheLoopCarriesALargeUploadWithItsHeaderLines) {
  using namespace std::chrono_literals;
  TestServer server;
  ASSERT_GT(server.port, 0);
  CurlTransfer transfer;
  PosixEventLoop loop;
  loop.SetWait([&](pollfd* fds, unsigned count, int ms) { transfer.Wait(fds, count, ms); });
  auto post = [&](const char* path, std::string body, const std::string& headers, int timeout) {
    const std::string url = "127.0.0.1:" + std::to_string(server.port) + path;
    transfer.Post({url, DefaultScheme::kHttp, std::move(body), headers, timeout});
    loop.RunUntil(loop.Now() + 20s, [&] { return !transfer.InFlight(); });
    return transfer.Outcome();
  };
  EXPECT_EQ(post("/never", "x", "", 1).state, HttpOutcome::State::kFailed);
  std::string big;
  for (size_t i = 0; big.size() < 4 * 1024 * 1024; ++i) big += static_cast<char>(i * 7 % 256);
  EXPECT_EQ(post("/ok", big, "X-A: 1\rX-B: two\nNo-Colon;", 60).status, 200);
  EXPECT_EQ(testing::ReadFile(server.dir + "/000001.body"), big);
  const std::string head = testing::ReadFile(server.dir + "/000001.head");
  for (const char* line : {"\r\nX-A: 1\r\n", "\r\nX-B: two\r\n"})
    EXPECT_NE(head.find(line), std::string::npos) << head;
  for (const char* name : {"Expect", "No-Colon"}) EXPECT_EQ(head.find(name), std::string::npos);
}

}  // namespace
}  // namespace cw
