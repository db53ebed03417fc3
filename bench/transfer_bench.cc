// One request and its completion through the transfer control, on loopback against
// tests/servers/http_server.py: Execute, then Wait + Drive until the state arrives.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/curl_transfer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The test server as a child process; ended by its pid when the benchmark is done.
class Server {
 public:
  explicit Server(const std::vector<std::string>& extra) {
    std::string pattern = (fs::temp_directory_path() / "cw_bench_XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    std::vector<std::string> args = {CW_PYTHON, CW_SOURCE_DIR "/tests/servers/http_server.py",
                                     "--record", (dir_ / "record.jsonl").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string line;
    pollfd readable{fds[0], POLLIN, 0};
    while (pid_ != -1 && line.find('\n') == std::string::npos && poll(&readable, 1, 20000) == 1) {
      char buffer[64];
      ssize_t got = read(fds[0], buffer, sizeof buffer);
      if (got <= 0) break;
      line.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    port_ = std::atoi(line.c_str());
  }
  ~Server() {
    if (pid_ != -1) {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(10000);
      if (waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  int port() const { return port_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

void RoundTrip(benchmark::State& state, const std::string& scheme,
               const std::vector<std::string>& server_args) {
  Server server(server_args);
  if (server.port() <= 0) {
    state.SkipWithError("test server did not start");
    return;
  }
  int16_t last = 0;
  cw::CurlTransfer transfer([&](int16_t s) { last = s; });
  const std::string url = scheme + "://127.0.0.1:" + std::to_string(server.port()) + "/ok";
  const std::string body = "From: +4917012345678\nText: benchmark message";
  for (auto _ : state) {
    last = 0;
    transfer.Execute(url, "POST", body, "X-Relay: bench");
    while (last == 0) {
      transfer.Wait(nullptr, 0, 1000);
      transfer.Drive();
    }
    if (last != cw::TransferControl::kStateResponseCompleted) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(transfer.GetChunk(1024));
  }
}

void BM_HttpRoundTrip(benchmark::State& state) { RoundTrip(state, "http", {}); }
BENCHMARK(BM_HttpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HttpsRoundTrip(benchmark::State& state) {
  std::string pattern = (fs::temp_directory_path() / "cw_cert_XXXXXX").string();
  fs::path dir = mkdtemp(pattern.data());
  std::string make_cert = "sh " CW_SOURCE_DIR "/tests/servers/make_cert.sh " + dir.string();
  if (std::system(make_cert.c_str()) != 0) {
    state.SkipWithError("make_cert.sh failed");
    return;
  }
  setenv("SSL_CERT_FILE", (dir / "cert.pem").c_str(), 1);
  RoundTrip(state, "https", {"--tls", (dir / "cert.pem").string(), (dir / "key.pem").string()});
  unsetenv("SSL_CERT_FILE");
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}
BENCHMARK(BM_HttpsRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
