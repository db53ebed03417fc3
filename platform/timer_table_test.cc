#include "platform/timer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"

namespace cw {
namespace {

using std::chrono::microseconds;
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

TEST(TimerTableTest, FiringNowRunsTheTimerAtOnceButNeverInsideItsOwnHandler) {
  TimerTable timers(t0);
  int scans = 0;
  std::function<void(TimerId)> on_tick = [&](TimerId id) {
    if (id != TimerId::kFileScan) return;
    ++scans;
    timers.FireNow(TimerId::kFileScan, t0 + milliseconds(20));  // a file appears meanwhile
    timers.RunDue(t0 + milliseconds(20), on_tick);
  };
  timers.FireNow(TimerId::kFileScan, t0 + milliseconds(10));
  timers.RunDue(t0 + milliseconds(10), on_tick);
  EXPECT_EQ(scans, 1);
  EXPECT_EQ(timers.MillisecondsToNext(t0 + milliseconds(10), 60000), 90);  // the system timer
}

TEST(TimerTableTest, NextDueFollowsIntervalsAndEnabling) {
  TimerTable timers(t0);
  const auto at = [](int ms) { return t0 + milliseconds(ms); };
  EXPECT_EQ(timers.MillisecondsToNext(t0 + microseconds(30500), 60000), 70);  // rounded up
  EXPECT_THROW(timers.SetInterval(TimerId::kSystem, -1, at(50)), RelayError);
  EXPECT_EQ(timers.MillisecondsToNext(at(50), 60000), 50);  // the interval is kept
  timers.SetInterval(TimerId::kSystem, 0, at(50));          // never ticks
  EXPECT_EQ(timers.MillisecondsToNext(at(50), 60000), 950);
  timers.SetEnabled(TimerId::kFileScan, true, at(500));  // already on: not restarted
  EXPECT_EQ(timers.MillisecondsToNext(at(500), 60000), 500);
  timers.SetEnabled(TimerId::kFileScan, false, at(500));
  EXPECT_EQ(timers.MillisecondsToNext(at(500), 60000), 60000);
  timers.SetEnabled(TimerId::kFileScan, true, at(700));  // a full interval from now
  EXPECT_EQ(timers.MillisecondsToNext(at(700), 60000), 1000);
  EXPECT_EQ(timers.MillisecondsToNext(at(2000), 60000), 0);
}

}  // namespace
}  // namespace cw
