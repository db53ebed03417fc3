#pragma once
// The program's one event loop, in the manner of Redis's ae.c, with all its state in sight: its
// timers on the monotonic clock, the signals read from a descriptor of its own, and the sources
// that registered a descriptor with a callback. One turn waits until the earliest timer is due or
// a descriptor is ready, then runs what is ready and what is due; idle, that is one wake-up per
// timer interval and nothing else.
#include <poll.h>

#include <functional>
#include <map>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/timer_table.h"

namespace cw {

class PosixEventLoop final : public TimerLoop {
 public:
  using Wait = std::function<void(pollfd* fds, unsigned count, int timeout_ms)>;

  // Blocks SIGINT, SIGTERM, SIGHUP and SIGWINCH for the whole process and reads them from a
  // signal descriptor instead, so they arrive as events on this thread. Construct it before any
  // thread exists (libcurl's resolver threads inherit the mask). Throws RelayError on failure.
  PosixEventLoop();
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  // A signal: what one of the four signals runs when it arrives; a signal without one is dropped.
  void OnSignal(int signal, std::function<void()> on_signal) { on_signal_[signal] = on_signal; }
  // A source: while descriptor() gives one (not -1) the loop waits for it to be readable too, and
  // then runs on_ready. At most seven sources wait at a time.
  void AddSource(std::function<int()> descriptor, std::function<void()> on_ready) {
    sources_.push_back({std::move(descriptor), std::move(on_ready)});
  }
  // Runs before every wait and gives the longest that wait may last for its sake (a window
  // redraws here and wakes for its clock).
  void BeforeWait(std::function<int()> before_wait) { before_wait_ = std::move(before_wait); }
  // The blocking wait, for a library that must watch descriptors of its own beside ours
  // (libcurl): it waits like poll on fds for up to timeout_ms and sets their revents. It may
  // move the library's work on; it runs no handler. poll itself until one is set.
  void SetWait(Wait wait) { wait_ = std::move(wait); }

  // Runs the loop until a handler ends the process.
  [[noreturn]] void Run();

 private:
  struct Source {
    std::function<int()> descriptor;
    std::function<void()> on_ready;
  };
  // Waits until a descriptor is ready or the next timer is due, then runs the callbacks of what
  // is ready and the timers that are due.
  void Turn(int max_wait_ms) override;
  void ReadSignals();

  UniqueFd signal_fd_;
  std::map<int, std::function<void()>> on_signal_;
  std::vector<Source> sources_;
  std::function<int()> before_wait_;
  Wait wait_;
};

}  // namespace cw
