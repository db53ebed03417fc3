#pragma once
// The single thread's event loop: the window's two timers, and the processing of pending events
// (timer ticks, the window's keys and resizes, close requests, the service manager's requests, a
// running transfer, the folder watch). Every handler runs on the loop's thread, one at a time,
// either from Run() or from inside ProcessPendingEvents(), which handlers may call re-entrantly.
#include <cstdint>

namespace cw {

enum class TimerId { kSystem, kFileScan };

// Why the window is asked to close.
enum CloseReason : int16_t {
  kCloseByPerson = 0,       // the close box, the close key, Ctrl+C
  kCloseByProgram = 1,      // the program's own code
  kCloseBySessionEnd = 2,   // the session or the system ends
  kCloseByTaskManager = 3,  // another program, such as a task or process manager
};

// What the program does with each kind of event.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void OnTimer(TimerId timer) = 0;
  // reason is a CloseReason.
  virtual void OnCloseRequest(int16_t reason) = 0;
  virtual void OnServiceStop() = 0;
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // A timer ticks every interval while enabled. Setting the interval of an enabled timer, or
  // enabling a disabled one, starts a full interval from now. An interval of 0 never ticks.
  // A negative interval is refused (throws RelayError) and the timer keeps its interval.
  virtual void SetTimerInterval(TimerId timer, int32_t milliseconds) = 0;
  virtual void SetTimerEnabled(TimerId timer, bool enabled) = 0;
  // Runs every event that is due now and returns without waiting.
  virtual void ProcessPendingEvents() = 0;
  // Gives the processor away for the given time; no event runs during it, while a running
  // transfer may keep moving.
  virtual void Sleep(int milliseconds) = 0;
};

}  // namespace cw
