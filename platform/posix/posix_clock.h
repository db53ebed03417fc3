#pragma once
#include <string>

#include "platform/clock.h"

namespace cw {

// The locale's short date (%x) and long time (%X).
class PosixClock final : public SecondClock {
 protected:
  int64_t CurrentSecond() override;
  void Format(std::string& date, std::string& time) override;
};

}  // namespace cw
