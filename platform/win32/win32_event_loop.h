#pragma once
// The window's message loop: one SetTimer timer of the main window wakes the loop when the next
// of the two timers is due, pending events are processed by a PeekMessage / TranslateMessage /
// DispatchMessage loop, and the window's messages are routed here to the handlers: timer ticks,
// WM_SIZE, the close requests, WinHTTP's events and the service manager's controls, which the other
// facilities post.
//
// Close reasons: WM_SYSCOMMAND SC_CLOSE (close box, window menu, Alt+F4) and the WM_CLOSE that
// follows it are the person's close, 0; the service manager's stop is the program's own, 1
// (the handler closes from code); WM_ENDSESSION after WM_QUERYENDSESSION and the service
// manager's shutdown control are Windows shutting down, 2; a WM_CLOSE on its own was sent by
// another program (Task Manager's "End task", taskkill without /F), 3. A program that sends
// WM_SYSCOMMAND SC_CLOSE counts as the person; the window cannot tell them apart.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/event_loop.h"
#include "platform/timer_table.h"
#include "platform/win32/win32_messages.h"
#include "platform/win32/windows_api.h"

namespace cw {

class Win32Window;
class WinHttpTransfer;
class ScmServiceHost;
class Win32FolderWatch;

class Win32EventLoop final : public EventLoop, public Win32MessageRouter {
 public:
  // Starts both timers as created with the window (system 100 ms, scan 1000 ms, both on) and
  // routes the window's messages here.
  explicit Win32EventLoop(Win32Window& window);
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  // Where events go. The pointers stay owned by the caller; any may be null. on_fatal gets the
  // message of an error that escaped a handler; it is expected to end the process.
  void Attach(WindowEvents* handlers, WinHttpTransfer* transfer, ScmServiceHost* service,
              Win32FolderWatch* watch, std::function<void(const std::string&)> on_fatal);

  // Runs the loop until a handler ends the process.
  [[noreturn]] void Run();

  void SetTimerInterval(TimerId timer, int32_t milliseconds) override;
  void SetTimerEnabled(TimerId timer, bool enabled) override;
  void ProcessPendingEvents() override;
  void Sleep(int milliseconds) override;

  bool Route(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;

 private:
  using Clock = TimerTable::Clock;
  // Sets the window's wake-up timer to when the next timer is due.
  void Arm();
  void RunDueTimers();
  // The incoming file appeared: the scan runs now, unless one is running already.
  void FollowWatch();
  void ServiceControl(WPARAM control);
  void Dispatch(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result, bool& handled);

  Win32Window& window_;
  HWND hwnd_;
  TimerTable timers_{Clock::now()};
  bool person_closing_ = false;
  WindowEvents* handlers_ = nullptr;
  WinHttpTransfer* transfer_ = nullptr;
  ScmServiceHost* service_ = nullptr;
  Win32FolderWatch* watch_ = nullptr;
  std::function<void(const std::string&)> on_fatal_;
};

}  // namespace cw
