#include "platform/posix/posix_clock.h"

#include <ctime>

namespace cw {

int64_t PosixClock::CurrentSecond() { return std::time(nullptr); }

void PosixClock::Format(std::string& date, std::string& time) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[128];
  date.assign(buffer, std::strftime(buffer, sizeof buffer, "%x", &tm));
  time.assign(buffer, std::strftime(buffer, sizeof buffer, "%X", &tm));
}

}  // namespace cw
