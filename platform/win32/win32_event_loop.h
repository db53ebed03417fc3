#pragma once
// The window's message loop, in the manner of Redis's ae.c and in the words of the POSIX loop: its
// timers wake it through one SetTimer timer of the main window, set to when the next is due;
// signals are messages that other threads post to the window (WinHTTP's events, the service
// manager's controls), each run by its callback; sources are handles it waits on together with
// the window's messages (the folder watch), each with a callback; the window's own events (the
// close requests) go to the program's WindowEvents.
//
// Close reasons: WM_SYSCOMMAND SC_CLOSE (close box, window menu, Alt+F4) and the WM_CLOSE that
// follows it are the person's close, 0; WM_ENDSESSION after WM_QUERYENDSESSION is Windows shutting
// down, 2; a WM_CLOSE on its own was sent by another program (Task Manager's "End task", taskkill
// without /F), 3. A program that sends WM_SYSCOMMAND SC_CLOSE counts as the person; the window
// cannot tell them apart.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/timer_table.h"
#include "platform/win32/win32_messages.h"
#include "platform/win32/windows_api.h"

namespace cw {

class Win32Window;

class Win32EventLoop final : public TimerLoop {
 public:
  // Routes the window's messages here.
  explicit Win32EventLoop(Win32Window& window);
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  // Where the window's close requests go; the caller keeps it.
  void SetWindowEvents(WindowEvents* events) { window_events_ = events; }
  // A signal: what a message posted to the window runs, with its wParam.
  void OnSignal(UINT message, std::function<void(WPARAM)> on_signal) {
    on_signal_[message] = std::move(on_signal);
  }
  // A source: while handle() gives one (not null) the loop waits for it to be signalled too, and
  // then runs on_ready.
  void AddSource(std::function<HANDLE()> handle, std::function<void()> on_ready) {
    sources_.push_back({std::move(handle), std::move(on_ready)});
  }
  // Gets the message of an error that escaped a handler; it is expected to end the process.
  void OnFatal(std::function<void(const std::string&)> on_fatal) {
    on_fatal_ = std::move(on_fatal);
  }

  // Runs the loop until a handler ends the process.
  [[noreturn]] void Run();

 private:
  struct Source {
    std::function<HANDLE()> handle;
    std::function<void()> on_ready;
  };
  // Sets the window's wake-up timer to when the next timer is due.
  void Arm();
  // Waits for a message or a source, then runs what came; the timers come as a message.
  void Turn(int max_wait_ms) override;
  // The window's message: true when handled here. An error of a handler ends the process.
  bool Route(UINT message, WPARAM wparam, LRESULT& result);
  bool DispatchWindowEvent(UINT message, WPARAM wparam, LRESULT& result);

  Win32Window& window_;
  bool person_closing_ = false;
  WindowEvents* window_events_ = nullptr;
  std::map<UINT, std::function<void(WPARAM)>> on_signal_;
  std::vector<Source> sources_;
  std::function<void(const std::string&)> on_fatal_;
};

}  // namespace cw
