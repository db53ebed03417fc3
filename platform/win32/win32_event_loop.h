#pragma once
// The window's message loop, in the manner of Redis's ae.c: one SetTimer timer of the main window
// wakes the loop when the next of the two window timers is due; the window's own messages (its
// timers, the close requests) go to the program's handlers; and sources register what
// they post or signal with a callback: a message (WinHTTP's events, the service manager's
// controls), a timer of the window (a request's own time-out), a handle to wait on (the folder
// watch). Pending events are processed by a PeekMessage / TranslateMessage / DispatchMessage loop.
//
// Close reasons: WM_SYSCOMMAND SC_CLOSE (close box, window menu, Alt+F4) and the WM_CLOSE that
// follows it are the person's close, 0; WM_ENDSESSION after WM_QUERYENDSESSION is Windows shutting
// down, 2; a WM_CLOSE on its own was sent by another program (Task Manager's "End task", taskkill
// without /F), 3. A program that sends WM_SYSCOMMAND SC_CLOSE counts as the person; the window
// cannot tell them apart.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/event_loop.h"
#include "platform/timer_table.h"
#include "platform/win32/win32_messages.h"
#include "platform/win32/windows_api.h"

namespace cw {

class Win32Window;

class Win32EventLoop final : public EventLoop, public Win32MessageRouter {
 public:
  // Starts both timers as created with the window (system 100 ms, scan 1000 ms, both on) and
  // routes the window's messages here.
  explicit Win32EventLoop(Win32Window& window);
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  // Where the window's own events go; the caller keeps it.
  void SetHandlers(WindowEvents* handlers) { handlers_ = handlers; }
  // What a message posted to the window runs, with its wParam.
  void OnMessage(UINT message, std::function<void(WPARAM)> on_message) {
    on_message_[message] = std::move(on_message);
  }
  // What a timer of the window other than the loop's own runs.
  void OnWindowTimer(UINT_PTR id, std::function<void()> on_timer) {
    on_window_timer_[id] = std::move(on_timer);
  }
  // A handle to wait on with the window's messages: while handle() gives one (not null), the loop
  // runs on_signalled when it is signalled. One such source at a time.
  void AddHandle(std::function<HANDLE()> handle, std::function<void()> on_signalled) {
    handle_ = std::move(handle);
    on_signalled_ = std::move(on_signalled);
  }
  // Gets the message of an error that escaped a handler; it is expected to end the process.
  void OnFatal(std::function<void(const std::string&)> on_fatal) {
    on_fatal_ = std::move(on_fatal);
  }
  // Makes the timer due at once, as if its interval had run out (the watched file appeared).
  void FireNow(TimerId timer);

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
  // Runs on_signalled_ when the handle is signalled now.
  void CheckHandle();
  void Dispatch(UINT message, WPARAM wparam, LRESULT& result, bool& handled);

  Win32Window& window_;
  HWND hwnd_;
  TimerTable timers_{Clock::now()};
  bool person_closing_ = false;
  WindowEvents* handlers_ = nullptr;
  std::map<UINT, std::function<void(WPARAM)>> on_message_;
  std::map<UINT_PTR, std::function<void()>> on_window_timer_;
  std::function<HANDLE()> handle_;
  std::function<void()> on_signalled_;
  std::function<void(const std::string&)> on_fatal_;
};

}  // namespace cw
