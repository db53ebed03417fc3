#include "platform/posix/posix_process.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "base/errors.h"

namespace cw {

PosixProcess::PosixProcess(int argc, char** argv, std::function<void()> before_exit)
    : command_line_(ArgumentText(argc, argv)), before_exit_(std::move(before_exit)) {}

std::string PosixProcess::ArgumentText(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

std::string PosixProcess::ExecutablePath() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw RelayError("cannot find the executable");
  return path.string();
}

bool PosixProcess::AnotherInstanceRunning() {
  if (lock_.valid()) return false;  // this process already holds the lock
  UniqueFd fd(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;  // nothing to lock: do not stop the relay for it
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  lock_ = std::move(fd);
  return false;
}

// glibc keeps the heap top and raises its threshold for mapping large blocks after the first
// ones are freed, so freed megabytes stay with the process until trimmed.
void PosixProcess::ReturnFreeMemory() { malloc_trim(0); }

void PosixProcess::Exit(int status) {
  if (before_exit_) before_exit_();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

}  // namespace cw
