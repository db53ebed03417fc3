#pragma once
// The program's one event loop. All state is here: the two window timers on the monotonic clock,
// the signal descriptor, and the three sources that join the blocking wait (the transfer
// control's sockets, the terminal's keys, the signals, the incoming file's folder). One turn of
// Run() processes what is due, redraws the terminal, and sleeps until the earliest timer or the
// first descriptor that becomes ready; idle, that is one wake-up per timer interval and nothing
// else.
#include <cstdint>

#include "platform/event_loop.h"
#include "platform/timer_table.h"

namespace cw {

class CurlTransfer;
class InotifyWatch;
class TerminalWindow;

class PosixEventLoop final : public EventLoop {
 public:
  // Blocks SIGINT, SIGTERM, SIGHUP and SIGWINCH for the whole process and reads them from a
  // signal descriptor instead, so they arrive as events on this thread. Construct it before any
  // thread exists (libcurl's resolver threads inherit the mask). Throws RelayError on failure.
  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  // Where events go, and the sources that join the wait. The pointers stay owned by the caller
  // and must outlive the loop's use; any may be null.
  void Attach(WindowEvents* handlers, CurlTransfer* transfer, TerminalWindow* terminal,
              InotifyWatch* watch = nullptr);
  // From now on SIGTERM is the service manager's stop request (service mode), not a close by a
  // process manager (reason 3).
  void RouteTermToServiceStop() { term_is_service_stop_ = true; }

  // Runs the loop until a handler ends the process.
  [[noreturn]] void Run();

  void SetTimerInterval(TimerId timer, int32_t milliseconds) override;
  void SetTimerEnabled(TimerId timer, bool enabled) override;
  void ProcessPendingEvents() override;
  // Moves a running transfer on while it sleeps; nothing is dispatched, and a request that ends
  // meanwhile is reported by the next ProcessPendingEvents.
  void Sleep(int milliseconds) override;

 private:
  using Clock = TimerTable::Clock;
  void ReadSignals();
  void WaitForEvents(int timeout_ms);

  TimerTable timers_{Clock::now()};
  int signal_fd_ = -1;
  bool term_is_service_stop_ = false;
  WindowEvents* handlers_ = nullptr;
  CurlTransfer* transfer_ = nullptr;
  TerminalWindow* terminal_ = nullptr;
  InotifyWatch* watch_ = nullptr;
  bool quiet_wait_ = false;  // the last wait found none of the loop's descriptors ready
};

}  // namespace cw
