#pragma once
// The program's one event loop, in the manner of Redis's ae.c, with all its state in sight: the
// window's two timers on the monotonic clock, the signals read from a descriptor of its own, and
// the sources that registered a descriptor with a callback. One turn waits until the earliest
// timer is due or a descriptor is ready, then runs what is ready and what is due; idle, that is
// one wake-up per timer interval and nothing else.
#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/event_loop.h"
#include "platform/timer_table.h"

namespace cw {

class PosixEventLoop final : public EventLoop {
 public:
  using Wait = std::function<void(pollfd* fds, unsigned count, int timeout_ms)>;

  // Blocks SIGINT, SIGTERM, SIGHUP and SIGWINCH for the whole process and reads them from a
  // signal descriptor instead, so they arrive as events on this thread. Construct it before any
  // thread exists (libcurl's resolver threads inherit the mask). Throws RelayError on failure.
  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  // What a timer's tick runs.
  void OnTimer(std::function<void(TimerId)> on_tick) { on_tick_ = std::move(on_tick); }
  // What one of the four signals runs when it arrives; a signal without one is dropped.
  void OnSignal(int signal, std::function<void()> on_signal) { on_signal_[signal] = on_signal; }
  // A source: while descriptor() gives one (not -1) the loop waits for it to be readable too, and
  // then runs on_ready. At most seven sources wait at a time.
  void AddSource(std::function<int()> descriptor, std::function<void()> on_ready) {
    sources_.push_back({std::move(descriptor), std::move(on_ready)});
  }
  // Runs after the events of every turn and gives the longest the next wait may last for its sake
  // (a window redraws here and wakes for its clock).
  void BeforeWait(std::function<int()> before_wait) { before_wait_ = std::move(before_wait); }
  // The blocking wait, for a library that must watch descriptors of its own beside ours
  // (libcurl): it waits like poll on fds for up to timeout_ms and sets their revents. It may
  // move the library's work on; it runs no handler. poll itself until one is set.
  void SetWait(Wait wait) { wait_ = std::move(wait); }
  // Makes the timer due at once, as if its interval had run out (the watched file appeared).
  void FireNow(TimerId timer) { timers_.FireNow(timer, Clock::now()); }

  // Runs the loop until a handler ends the process.
  [[noreturn]] void Run();

  void SetTimerInterval(TimerId timer, int32_t milliseconds) override;
  void SetTimerEnabled(TimerId timer, bool enabled) override;
  void ProcessPendingEvents() override;
  // Lets the wait move a running transfer on while it sleeps; nothing is dispatched, and what
  // ends meanwhile is seen by the next ProcessPendingEvents.
  void Sleep(int milliseconds) override;

 private:
  using Clock = TimerTable::Clock;
  struct Source {
    std::function<int()> descriptor;
    std::function<void()> on_ready;
  };
  // Waits up to timeout_ms, then runs the callbacks of what is ready and the timers that are due.
  void Turn(int timeout_ms);
  void ReadSignals();

  TimerTable timers_{Clock::now()};
  int signal_fd_ = -1;
  std::map<int, std::function<void()>> on_signal_;
  std::vector<Source> sources_;
  std::function<void(TimerId)> on_tick_;
  std::function<int()> before_wait_;
  Wait wait_;
};

}  // namespace cw
