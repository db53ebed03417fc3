#include "platform/timer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cw {
namespace {

using std::chrono::milliseconds;
const TimerTable::Clock::time_point t0{};

TEST(TimerTableTest, DueTimersTickButNeverIntoTheirOwnRunningHandler) {
  TimerTable timers(t0);
  std::vector<std::string> ticks;
  std::function<void(TimerId)> on_tick = [&](TimerId id) {
    ticks.push_back(id == TimerId::kSystem ? "system" : "scan");
    // The scan handler pumps events inside, as a pause does, long after both timers are due.
    if (id == TimerId::kFileScan) timers.RunDue(t0 + milliseconds(5000), on_tick);
  };
  timers.RunDue(t0 + milliseconds(99), on_tick);
  EXPECT_TRUE(ticks.empty());
  timers.RunDue(t0 + milliseconds(100), on_tick);
  timers.RunDue(t0 + milliseconds(1000), on_tick);
  EXPECT_EQ(ticks, (std::vector<std::string>{"system", "system", "scan", "system"}));
}

}  // namespace
}  // namespace cw
