#pragma once
#include <string>

#include "platform/clock.h"

namespace cw::testing {

class FakeClock : public Clock {
 public:
  std::string ShortDateText() override { return date; }
  std::string LongTimeText() override { return time; }
  std::string date = "06/12/26";
  std::string time = "20:43:48";
};

}  // namespace cw::testing
