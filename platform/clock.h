#pragma once
// The current date and time as text, in the user's regional formats, and the moment itself.
#include <cstdint>
#include <limits>
#include <string>

namespace cw {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::string ShortDateText() = 0;  // the locale's short date, now
  virtual std::string LongTimeText() = 0;   // the locale's long time, now
  // Now, in whole seconds since 1970 (UTC), the measure of file times.
  virtual int64_t Now() = 0;
  // The locale's long time of the moment `at`, in the same seconds.
  virtual std::string LongTimeTextAt(int64_t at) = 0;
};

// A clock that formats the texts of now once per second and reuses them, since a long log text
// asks for them once per 100-byte entry. A system's clock adds only its calls.
class SecondClock : public Clock {
 public:
  std::string ShortDateText() final {
    Refresh();
    return date_;
  }
  std::string LongTimeText() final {
    Refresh();
    return time_;
  }
  std::string LongTimeTextAt(int64_t at) final {
    std::string date, time;
    Format(at, date, time);
    return time;
  }

 protected:
  // The short date and long time of the moment `at`.
  virtual void Format(int64_t at, std::string& date, std::string& time) = 0;

 private:
  void Refresh() {
    const int64_t now = Now();
    if (now == formatted_at_) return;
    Format(now, date_, time_);
    formatted_at_ = now;
  }
  int64_t formatted_at_ = std::numeric_limits<int64_t>::min();
  std::string date_;
  std::string time_;
};

}  // namespace cw
