// Upload rate of one 16 MB message to a loopback server (tests/servers/http_server.py): through
// the HTTP transfer carried by the event loop as the relay carries it while it waits, and
// through the curl tool, for comparison. Also one short request's round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/curl_transfer.h"
#include "platform/posix/posix_event_loop.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr size_t kUploadBytes = 16 * 1024 * 1024;

pid_t Spawn(std::vector<std::string> args, int stdout_fd) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The test server as a child process with its own record folder; ended by its pid.
class Server {
 public:
  Server() {
    std::string pattern = (fs::temp_directory_path() / "cw_bench_XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn({CW_PYTHON, CW_SOURCE_DIR "/tests/servers/http_server.py", "--record",
                  (dir_ / "record").string()},
                 fds[1]);
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
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ok"; }
  bool Started() const { return port_ > 0; }
  const fs::path& Dir() const { return dir_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Runs POSTs of `body` to their end, the loop running until each has ended.
void Transfer(benchmark::State& state, const std::string& body) {
  Server server;
  if (!server.Started()) return state.SkipWithError("test server did not start");
  cw::PosixEventLoop loop;
  cw::CurlTransfer transfer;
  loop.SetWait([&](pollfd* fds, unsigned count, int ms) { transfer.Wait(fds, count, ms); });
  for (auto _ : state) {
    transfer.Post({server.Url(), cw::DefaultScheme::kHttp, body, "", 60});
    loop.RunUntil(cw::EventLoop::TimePoint::max(), [&] { return !transfer.InFlight(); });
    if (transfer.Outcome().state != cw::HttpOutcome::State::kAnswered) {
      return state.SkipWithError("request failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_UploadThroughTransfer(benchmark::State& state) {
  Transfer(state, std::string(kUploadBytes, 'x'));
}
BENCHMARK(BM_UploadThroughTransfer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_UploadThroughCurlTool(benchmark::State& state) {
  Server server;
  if (!server.Started()) return state.SkipWithError("test server did not start");
  const fs::path file = server.Dir() / "upload";
  std::ofstream(file, std::ios::binary) << std::string(kUploadBytes, 'x');
  const std::string data_arg = "@" + file.native();
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (auto _ : state) {
    pid_t pid = Spawn({"curl", "-sS", "-o", "/dev/null", "-H", "Expect:", "--data-binary", data_arg,
                       server.Url()},
                      null_fd);
    int status = -1;
    if (pid == -1 || waitpid(pid, &status, 0) != pid || status != 0) {
      close(null_fd);
      return state.SkipWithError("curl failed");
    }
  }
  close(null_fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kUploadBytes));
}
BENCHMARK(BM_UploadThroughCurlTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RoundTrip(benchmark::State& state) { Transfer(state, "Text: benchmark message"); }
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
