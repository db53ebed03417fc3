#pragma once
#include <string>

#include "platform/clock.h"

namespace cw {

// The locale's short date (%x) and long time (%X).
class PosixClock final : public SecondClock {
 public:
  int64_t Now() override;

 protected:
  void Format(int64_t at, std::string& date, std::string& time) override;
};

}  // namespace cw
