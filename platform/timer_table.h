#pragma once
// The timers of an event loop, kept alike by every loop: interval, started flag and due time on
// the loop's clock. A loop only waits until the next timer is due and then runs the due ones.
// Here alone lies the rule that a timer's handler is never re-entered by its own timer.
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "platform/event_loop.h"

namespace cw {

class TimerTable {
 public:
  using TimePoint = EventLoop::TimePoint;

  // now: the loop's clock. changed (may be empty) runs after every change of a timer, for a loop
  // that must arm a wake-up of its own (a window's timer).
  TimerTable(std::function<TimePoint()> now, std::function<void()> changed);

  TimePoint Now() const { return now_(); }
  // A started timer, due one interval from now; it is removed when the handle goes.
  std::unique_ptr<Timer> Add(std::chrono::milliseconds interval, std::function<void()> on_tick);
  // Runs the handler of every timer due now, except one whose handler is still running. The
  // timer is re-armed first, so a handler that changes its timer has the last word. An error of
  // a handler passes on.
  void RunDue();
  // Milliseconds from now until the next timer is due, rounded up; at most cap (a negative cap:
  // none, and -1 when no timer ticks).
  int MillisecondsToNext(int cap) const;

 private:
  class Handle;
  struct Entry {
    std::chrono::milliseconds interval;
    bool started;
    TimePoint due;
    bool running;
    std::function<void()> on_tick;
  };
  static bool Ticks(const Entry& entry) {
    return entry.started && entry.interval.count() > 0 && !entry.running;
  }
  void Changed() const {
    if (changed_) changed_();
  }

  std::function<TimePoint()> now_;
  std::function<void()> changed_;
  std::map<int, Entry> entries_;
  int next_id_ = 1;
};

// What every event loop does alike: its timers in a table on its clock, and RunUntil as turns of
// the loop. A loop adds only its wait and its events.
class TimerLoop : public EventLoop {
 public:
  TimePoint Now() const final { return timers_.Now(); }
  std::unique_ptr<Timer> AddTimer(std::chrono::milliseconds interval,
                                  std::function<void()> on_tick) final {
    return timers_.Add(interval, std::move(on_tick));
  }
  void RunUntil(TimePoint deadline, const std::function<bool()>& done) final;

 protected:
  // The longest one turn waits for a loop's own reasons; it bounds the damage of a missed wake-up.
  static constexpr int kMaxWaitMs = 60000;

  // now and changed: as TimerTable's.
  TimerLoop(std::function<TimePoint()> now, std::function<void()> changed)
      : timers_(std::move(now), std::move(changed)) {}
  // One turn: waits at most max_wait_ms (-1: for as long as it takes) for an event or the next
  // timer, then runs what came and the timers that are due.
  virtual void Turn(int max_wait_ms) = 0;
  TimerTable& timers() { return timers_; }

 private:
  TimerTable timers_;
};

// The real loops' clock.
inline EventLoop::TimePoint SteadyNow() { return std::chrono::steady_clock::now(); }

}  // namespace cw
