#include "app/feed_posix.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/feed_command.h"
#include "platform/kept_profile.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_process.h"

namespace cw {
namespace {

// The local time zone's offset at that time of day, daylight saving time as it was then.
int LocalOffsetMinutes(const CivilTime& local) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;
  if (mktime(&tm) == static_cast<time_t>(-1)) return 0;
  return static_cast<int>(tm.tm_gmtoff / 60);
}

}  // namespace

int FeedFromCommandLine(int argc, char** argv, int first) {
  // A daemon may start us with standard input, output or error closed (Gammu closes all three):
  // without this, the incoming file could be opened as descriptor 2 and get our error text.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR | O_CLOEXEC) < 0) return 1;
  }
  PosixFileSystem files;
  KeptProfileReader profile(files);
  const std::unique_ptr<ReadableFile> standard_input = StandardInput();
  const FeedInput input{std::vector<std::string>(argv + first, argv + argc),
                        [](const std::string& name) -> std::optional<std::string> {
                          const char* value = std::getenv(name.c_str());
                          if (value == nullptr) return std::nullopt;
                          return value;
                        },
                        *standard_input, files, &LocalOffsetMinutes};
  PosixProcess process(argc, argv, nullptr);
  std::string error;
  const int status = RunFeedCommand(input, profile, ProgramFolder(process, '/'), error);
  if (status != 0) {
    const std::string line = "corbelwynford --feed: " + error + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  return status;
}

}  // namespace cw
