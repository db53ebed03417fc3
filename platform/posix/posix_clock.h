#pragma once
#include <ctime>
#include <string>

#include "platform/clock.h"

namespace cw {

// The locale's short date (%x) and long time (%X). The texts are formatted once per second and
// reused, since a long log text asks for them once per 100-byte entry.
class PosixClock final : public Clock {
 public:
  std::string ShortDateText() override;
  std::string LongTimeText() override;

 private:
  void Refresh();
  std::time_t formatted_at_ = -1;
  std::string date_;
  std::string time_;
};

}  // namespace cw
