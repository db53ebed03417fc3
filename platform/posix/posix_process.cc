#include "platform/posix/posix_process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/errors.h"

namespace cw {

PosixProcess::PosixProcess(int argc, char** argv, std::function<void()> before_exit)
    : before_exit_(std::move(before_exit)) {
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line_ += ' ';
    command_line_ += argv[i];
  }
}

PosixProcess::~PosixProcess() {
  if (lock_fd_ >= 0) close(lock_fd_);
}

std::string PosixProcess::ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw RelayError("cannot find the executable");
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string PosixProcess::ExecutableDirectory() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool PosixProcess::AnotherInstanceRunning() {
  if (lock_fd_ >= 0) return false;  // this process already holds the lock
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // nothing to lock: do not stop the relay for it
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return held;
  }
  lock_fd_ = fd;
  return false;
}

void PosixProcess::Exit(int status) {
  if (before_exit_) before_exit_();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

}  // namespace cw
