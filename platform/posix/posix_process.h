#pragma once
#include <functional>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/process.h"

namespace cw {

// The one-instance rule is a lock held on the executable file itself: the kernel drops it when
// the process ends in any way, SIGKILL included, so no stale lock can block a restart, and the
// program's folder need not be writable.
class PosixProcess final : public Process {
 public:
  // before_exit runs right before the process ends (it gives the terminal back).
  PosixProcess(int argc, char** argv, std::function<void()> before_exit);

  std::string ExecutableFile() override { return ExecutablePath(); }
  bool AnotherInstanceRunning() override;
  std::string CommandLine() override { return command_line_; }
  [[noreturn]] void Exit(int status) override;
  void ReturnFreeMemory() override;

  // This executable's absolute path (from /proc/self/exe); throws RelayError when unknown.
  static std::string ExecutablePath();
  // The arguments after the program's name, joined by blanks.
  static std::string ArgumentText(int argc, char** argv);

 private:
  std::string command_line_;
  std::function<void()> before_exit_;
  UniqueFd lock_;
};

}  // namespace cw
