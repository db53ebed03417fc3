#pragma once
// The window's two timers as every event loop keeps them: interval, enabled flag and due time on
// the monotonic clock. A loop only waits until the next timer is due and then runs the due ones.
#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/event_loop.h"

namespace cw {

class TimerTable {
 public:
  using Clock = std::chrono::steady_clock;

  // As created with the window: the system timer at 100 ms, the scan timer at 1000 ms, both on.
  explicit TimerTable(Clock::time_point now);

  // Starts a full interval from now; an interval of 0 never ticks. A negative interval is refused
  // (throws RelayError) and the timer keeps its interval.
  void SetInterval(TimerId timer, int32_t milliseconds, Clock::time_point now);
  // Enabling a disabled timer starts a full interval from now; enabling an enabled one changes
  // nothing.
  void SetEnabled(TimerId timer, bool enabled, Clock::time_point now);
  // Calls on_tick for every timer due at now, except one whose handler is still running (a
  // handler is never re-entered by its own timer). The timer is re-armed first, so a handler that
  // changes its timer has the last word. An exception from on_tick passes on.
  void RunDue(Clock::time_point now, const std::function<void(TimerId)>& on_tick);
  // Makes the timer due at now, as if its interval had run out; a disabled timer, or one whose
  // handler is running, is left alone.
  void FireNow(TimerId timer, Clock::time_point now);
  // Milliseconds from now until the next timer is due, rounded up; at most cap.
  int MillisecondsToNext(Clock::time_point now, int cap) const;

 private:
  struct Timer {
    int32_t interval_ms;
    bool enabled;
    Clock::time_point due;
    bool running;
  };
  bool Ticks(const Timer& timer) const {
    return timer.enabled && timer.interval_ms > 0 && !timer.running;
  }
  Timer& At(TimerId timer) { return timers_[timer == TimerId::kSystem ? 0 : 1]; }

  Timer timers_[2];
};

}  // namespace cw
