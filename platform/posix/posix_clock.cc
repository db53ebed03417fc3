#include "platform/posix/posix_clock.h"

#include <ctime>

namespace cw {

int64_t PosixClock::Now() { return std::time(nullptr); }

void PosixClock::Format(int64_t at, std::string& date, std::string& time) {
  const std::time_t moment = static_cast<std::time_t>(at);
  std::tm tm{};
  localtime_r(&moment, &tm);
  char buffer[128];
  date.assign(buffer, std::strftime(buffer, sizeof buffer, "%x", &tm));
  time.assign(buffer, std::strftime(buffer, sizeof buffer, "%X", &tm));
}

}  // namespace cw
