#pragma once
// The single thread's event loop, in the manner of Redis's ae.c: timers it hands out, and the
// events of the window, the service manager, a running transfer and the folder watch. Every
// handler runs on the loop's thread, one at a time, while the loop runs: from the program's main
// loop, or from inside RunUntil, which a handler may call to wait without blocking the others.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace cw {

// Why the window is asked to close.
enum CloseReason : int16_t {
  kCloseByPerson = 0,       // the close box, the close key, Ctrl+C
  kCloseByProgram = 1,      // the program's own code
  kCloseBySessionEnd = 2,   // the session or the system ends
  kCloseByTaskManager = 3,  // another program, such as a task or process manager
};

// What the program does when its window is asked to close.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  // reason is a CloseReason.
  virtual void OnCloseRequest(int16_t reason) = 0;
};

// A repeating timer handed out by the loop; it goes when its handle goes. Its handler never runs
// inside itself: while it runs (and waits in RunUntil) the timer does not tick; a tick that fell
// due meanwhile comes once it has returned.
class Timer {
 public:
  virtual ~Timer() = default;
  // Ticks every interval from now on, the first a full interval from now; 0 never ticks. A
  // negative interval is refused (throws RelayError) and the timer stays as it was.
  virtual void Restart(std::chrono::milliseconds interval) = 0;
  // Ticks no more until restarted.
  virtual void Stop() = 0;
  // Makes it due now, as if its interval had run out; a stopped timer, or one whose handler is
  // running, is left alone.
  virtual void FireNow() = 0;
};

class EventLoop {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~EventLoop() = default;

  // The loop's monotonic clock, the one its deadlines are measured on.
  virtual TimePoint Now() const = 0;
  // A started timer whose handler on_tick runs every interval from now.
  virtual std::unique_ptr<Timer> AddTimer(std::chrono::milliseconds interval,
                                          std::function<void()> on_tick) = 0;
  // Runs events as they come until deadline has passed or done (when given) says so; done is
  // asked before every wait. An error of a handler passes on to the caller.
  virtual void RunUntil(TimePoint deadline, const std::function<bool()>& done) = 0;

  // A pause that keeps the program responsive: keys, resizes, close requests and a stop are
  // handled meanwhile.
  void RunFor(std::chrono::milliseconds length) { RunUntil(Now() + length, nullptr); }
};

}  // namespace cw
