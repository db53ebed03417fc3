#include "platform/posix/posix_clock.h"

namespace cw {
namespace {

std::string Format(const std::tm& tm, const char* format) {
  char buffer[128];
  size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
  return std::string(buffer, n);
}

}  // namespace

void PosixClock::Refresh() {
  std::time_t now = std::time(nullptr);
  if (now == formatted_at_) return;
  std::tm tm{};
  localtime_r(&now, &tm);
  date_ = Format(tm, "%x");
  time_ = Format(tm, "%X");
  formatted_at_ = now;
}

std::string PosixClock::ShortDateText() {
  Refresh();
  return date_;
}

std::string PosixClock::LongTimeText() {
  Refresh();
  return time_;
}

}  // namespace cw
