#pragma once
#include <functional>
#include <string>

#include "platform/process.h"
#include "platform/win32/windows_api.h"

namespace cw {

// The text after the program's name in a command line, as the C run-time splits it off: a
// quoted name ends at its closing quote, an unquoted one at the first blank; the blanks after it
// are skipped.
std::string ArgumentText(const std::string& command_line);

// The one-instance rule is a named mutex in the global namespace, so a desktop start also sees a
// running service. The system drops it when the process ends in any way.
class Win32Process final : public Process {
 public:
  // before_exit runs right before the process ends (the service host reports the stop there).
  explicit Win32Process(std::function<void()> before_exit);

  // This executable's full path (GetModuleFileName); throws RelayError when unknown.
  std::string ExecutableFile() override;
  bool AnotherInstanceRunning() override;
  std::string CommandLine() override;
  [[noreturn]] void Exit(int status) override;
  void ReturnFreeMemory() override;

 private:
  std::function<void()> before_exit_;
  HANDLE mutex_ = nullptr;
};

}  // namespace cw
