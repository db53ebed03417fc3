#include "platform/timer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cw {
namespace {

using namespace std::chrono_literals;

TEST(TimerTableTest, DueTimersTickButNeverIntoTheirOwnRunningHandler) {
  const TimerTable::TimePoint t0{};
  TimerTable::TimePoint now = t0 + 10ms;
  TimerTable timers([&] { return now; }, nullptr);
  std::vector<std::string> ticks;
  const std::unique_ptr<Timer> other = timers.Add(90ms, [&] { ticks.push_back("other"); });
  std::unique_ptr<Timer> scan;
  scan = timers.Add(1000ms, [&] {
    ticks.push_back("scan");
    // A file appears while the scan runs the loop in a pause, long after both timers are due.
    now = t0 + 5000ms;
    scan->FireNow();
    timers.RunDue();
    now = t0 + 10ms;
  });
  scan->FireNow();  // a file appears: at once
  timers.RunDue();
  EXPECT_EQ(timers.MillisecondsToNext(60000), 1000);
  now = t0 + 1009ms;
  timers.RunDue();
  now = t0 + 1010ms;
  timers.RunDue();
  EXPECT_EQ(ticks, (std::vector<std::string>{"scan", "other", "scan"}));
}

}  // namespace
}  // namespace cw
