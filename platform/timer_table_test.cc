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
    if (id != TimerId::kFileScan) return;
    // A file appears while the scan pumps events in a pause, long after both timers are due.
    timers.FireNow(TimerId::kFileScan, t0 + milliseconds(5000));
    timers.RunDue(t0 + milliseconds(5000), on_tick);
  };
  timers.FireNow(TimerId::kFileScan, t0 + milliseconds(10));  // a file appears: at once
  timers.RunDue(t0 + milliseconds(10), on_tick);
  timers.RunDue(t0 + milliseconds(1009), on_tick);
  timers.RunDue(t0 + milliseconds(1010), on_tick);
  EXPECT_EQ(ticks, (std::vector<std::string>{"scan", "system", "scan"}));
}

}  // namespace
}  // namespace cw
