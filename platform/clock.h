#pragma once
// The current date and time as text, in the user's regional formats.
#include <string>

namespace cw {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::string ShortDateText() = 0;  // the locale's short date, now
  virtual std::string LongTimeText() = 0;   // the locale's long time, now
};

}  // namespace cw
