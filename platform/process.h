#pragma once
// Process facilities used at start-up.
#include <string>

namespace cw {

class Process {
 public:
  virtual ~Process() = default;
  // The executable's own path.
  virtual std::string ExecutableFile() = 0;
  // True when another process of this program already runs. The first call decides and holds
  // whatever marks this process as the running one until it ends.
  virtual bool AnotherInstanceRunning() = 0;
  // Everything after the program's own name, the arguments joined by blanks.
  virtual std::string CommandLine() = 0;
  // Ends the process at once with the exit status; no further handler runs.
  [[noreturn]] virtual void Exit(int status) = 0;
  // Hands the memory that freed blocks left in the allocator back to the system.
  virtual void ReturnFreeMemory() = 0;
};

// The executable's folder ending in separator ("/opt/corbelwynford/", "C:\"), the folder that the
// settings file and every relative file name are taken from. "/" ends a folder on Windows too.
inline std::string ProgramFolder(Process& process, char separator) {
  const std::string file = process.ExecutableFile();
  const size_t cut = file.find_last_of(std::string{separator, '/'});
  return (cut == std::string::npos ? std::string() : file.substr(0, cut)) + separator;
}

}  // namespace cw
