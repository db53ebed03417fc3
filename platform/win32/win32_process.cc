#include "platform/win32/win32_process.h"

#include <malloc.h>

#include <cstdio>
#include <vector>

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
namespace {

constexpr char kInstanceMutexName[] = "Global\\Corbelwynford.Instance";

}  // namespace

std::string ArgumentText(const std::string& command_line) {
  size_t at = 0;
  if (!command_line.empty() && command_line[0] == '"') {
    size_t close = command_line.find('"', 1);
    at = close == std::string::npos ? command_line.size() : close + 1;
  } else {
    while (at < command_line.size() && !IsBlank(command_line[at])) ++at;
  }
  while (at < command_line.size() && IsBlank(command_line[at])) ++at;
  return command_line.substr(at);
}

Win32Process::Win32Process(std::function<void()> before_exit)
    : before_exit_(std::move(before_exit)) {}

std::string Win32Process::ExecutableFile() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw RelayError("cannot find the executable");
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

bool Win32Process::AnotherInstanceRunning() {
  if (mutex_ != nullptr) return false;  // this process already holds the mark
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
  const DWORD error = GetLastError();
  // A mutex made by a service under another account may be visible but not open to us.
  if (mutex == nullptr) return error == ERROR_ACCESS_DENIED;
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return true;
  }
  mutex_ = mutex;
  return false;
}

std::string Win32Process::CommandLine() {
  const char* line = GetCommandLineA();
  return ArgumentText(line != nullptr ? std::string(line) : std::string());
}

void Win32Process::ReturnFreeMemory() { _heapmin(); }

void Win32Process::Exit(int status) {
  if (before_exit_) before_exit_();
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace cw
