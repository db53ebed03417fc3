#pragma once
// An event loop on virtual time: Sleep advances the clock, ProcessPendingEvents runs the timers
// and the scheduled events that are due. Tests schedule notifications (a transfer completing, a
// close request) at virtual times and watch them arrive inside the pauses, deterministically.
#include <cstdint>
#include <functional>
#include <map>

#include "platform/errors.h"
#include "platform/event_loop.h"

namespace cw::testing {

class FakeEventLoop : public EventLoop {
 public:
  struct Timer {
    int32_t interval = 0;
    bool enabled = false;
    int64_t due = 0;
    int ticks = 0;
  };

  FakeEventLoop() {
    timers[TimerId::kSystem] = {100, true, 100, 0};
    timers[TimerId::kFileScan] = {1000, true, 1000, 0};
  }

  void SetTimerInterval(TimerId id, int32_t ms) override {
    if (ms < 0) throw RelayError("negative interval");
    Timer& t = timers[id];
    t.interval = ms;
    t.due = now + ms;
  }
  int32_t TimerInterval(TimerId id) const { return timers.at(id).interval; }
  void SetTimerEnabled(TimerId id, bool enabled) override {
    Timer& t = timers[id];
    if (enabled && !t.enabled) t.due = now + t.interval;
    t.enabled = enabled;
  }
  bool TimerEnabled(TimerId id) const { return timers.at(id).enabled; }

  void ProcessPendingEvents() override {
    ++pumps;
    // Scheduled events first, in time order, then due timers: each handler may change the rest.
    while (!scheduled.empty() && scheduled.begin()->first <= now) {
      auto event = scheduled.begin()->second;
      scheduled.erase(scheduled.begin());
      event();
    }
    for (TimerId id : {TimerId::kSystem, TimerId::kFileScan}) {
      Timer& t = timers[id];
      if (t.enabled && t.interval > 0 && t.due <= now && handlers != nullptr) {
        t.due = now + t.interval;
        ++t.ticks;
        handlers->OnTimer(id);
      }
    }
  }
  void Sleep(int ms) override {
    now += ms;
    slept += ms;
  }

  void At(int64_t time, std::function<void()> event) { scheduled.emplace(time, std::move(event)); }

  WindowEvents* handlers = nullptr;
  std::map<TimerId, Timer> timers;
  std::multimap<int64_t, std::function<void()>> scheduled;
  int64_t now = 0;
  int64_t slept = 0;
  long pumps = 0;
};

}  // namespace cw::testing
