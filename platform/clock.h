#pragma once
// The current date and time as text, in the user's regional formats.
#include <cstdint>
#include <limits>
#include <string>

namespace cw {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::string ShortDateText() = 0;  // the locale's short date, now
  virtual std::string LongTimeText() = 0;   // the locale's long time, now
};

// A clock that formats its texts once per second and reuses them, since a long log text asks for
// them once per 100-byte entry. A system's clock adds only its calls.
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

 protected:
  // A count that changes every second of local time.
  virtual int64_t CurrentSecond() = 0;
  // The texts for now.
  virtual void Format(std::string& date, std::string& time) = 0;

 private:
  void Refresh() {
    const int64_t second = CurrentSecond();
    if (second == formatted_second_) return;
    Format(date_, time_);
    formatted_second_ = second;
  }
  int64_t formatted_second_ = std::numeric_limits<int64_t>::min();
  std::string date_;
  std::string time_;
};

}  // namespace cw
