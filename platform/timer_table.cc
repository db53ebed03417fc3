#include "platform/timer_table.h"

#include <algorithm>

#include "base/errors.h"

namespace cw {

using std::chrono::milliseconds;

TimerTable::TimerTable(Clock::time_point now)
    : timers_{{100, true, now + milliseconds(100), false},
              {1000, true, now + milliseconds(1000), false}} {}

void TimerTable::SetInterval(TimerId timer, int32_t interval_ms, Clock::time_point now) {
  if (interval_ms < 0) throw RelayError("negative timer interval");
  Timer& t = At(timer);
  t.interval_ms = interval_ms;
  t.due = now + milliseconds(interval_ms);
}

void TimerTable::SetEnabled(TimerId timer, bool enabled, Clock::time_point now) {
  Timer& t = At(timer);
  if (enabled && !t.enabled) t.due = now + milliseconds(t.interval_ms);
  t.enabled = enabled;
}

void TimerTable::RunDue(Clock::time_point now, const std::function<void(TimerId)>& on_tick) {
  for (TimerId id : {TimerId::kSystem, TimerId::kFileScan}) {
    Timer& t = At(id);
    if (!Ticks(t) || now < t.due) continue;
    t.due = now + milliseconds(t.interval_ms);
    t.running = true;
    try {
      on_tick(id);
    } catch (...) {
      t.running = false;
      throw;
    }
    t.running = false;
  }
}

void TimerTable::FireNow(TimerId timer, Clock::time_point now) {
  Timer& t = At(timer);
  if (Ticks(t)) t.due = now;
}

int TimerTable::MillisecondsToNext(Clock::time_point now, int cap) const {
  long long wait = cap;
  for (const Timer& t : timers_) {
    if (!Ticks(t)) continue;
    // Rounded up, so a loop never wakes a little early and spins until the timer is due.
    const long long left = std::chrono::ceil<milliseconds>(t.due - now).count();
    wait = std::min(wait, std::max(left, 0LL));
  }
  return static_cast<int>(wait);
}

}  // namespace cw
