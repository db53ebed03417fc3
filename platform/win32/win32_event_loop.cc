#include "platform/win32/win32_event_loop.h"

#include <algorithm>
#include <exception>

#include "base/errors.h"
#include "platform/win32/win32_window.h"

namespace cw {
namespace {

// The longest the loop's wake-up timer waits when no timer is due.
constexpr int kMaxWaitMs = 60000;

}  // namespace

Win32EventLoop::Win32EventLoop(Win32Window& window) : window_(window), hwnd_(window.Handle()) {
  Arm();
  window_.SetRouter(this);
}

Win32EventLoop::~Win32EventLoop() {
  window_.SetRouter(nullptr);
  KillTimer(hwnd_, kTimerIdLoop);
}

void Win32EventLoop::Arm() {
  const int wait = std::max(timers_.MillisecondsToNext(Clock::now(), kMaxWaitMs), 1);
  if (SetTimer(hwnd_, kTimerIdLoop, static_cast<UINT>(wait), nullptr) == 0) {
    throw RelayError("Cannot start a timer");
  }
}

void Win32EventLoop::SetTimerInterval(TimerId timer, int32_t milliseconds) {
  timers_.SetInterval(timer, milliseconds, Clock::now());
  Arm();
}

void Win32EventLoop::SetTimerEnabled(TimerId timer, bool enabled) {
  timers_.SetEnabled(timer, enabled, Clock::now());
  Arm();
}

void Win32EventLoop::ProcessPendingEvents() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // Nothing here posts it; should anything, it ends the program as Run() does.
    if (msg.message == WM_QUIT) ExitProcess(static_cast<UINT>(msg.wParam));
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  CheckHandle();
}

void Win32EventLoop::FireNow(TimerId timer) {
  timers_.FireNow(timer, Clock::now());
  Arm();
}

void Win32EventLoop::CheckHandle() {
  const HANDLE handle = handle_ ? handle_() : nullptr;
  if (handle == nullptr || WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) return;
  on_signalled_();
  RunDueTimers();
}

void Win32EventLoop::Sleep(int milliseconds) { ::Sleep(milliseconds < 0 ? 0 : milliseconds); }

void Win32EventLoop::Run() {
  MSG msg;
  for (;;) {
    // The window's messages and the registered handle, in one wait.
    HANDLE handle = handle_ ? handle_() : nullptr;
    if (handle == nullptr) {
      BOOL got = GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) ExitProcess(got == 0 ? static_cast<UINT>(msg.wParam) : 1);
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      continue;
    }
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) {
      CheckHandle();
    } else {
      ProcessPendingEvents();
    }
  }
}

void Win32EventLoop::RunDueTimers() {
  timers_.RunDue(Clock::now(), [this](TimerId id) {
    // While a start-up message box is open the relay does not start: the tick is dropped.
    if (handlers_ != nullptr && !window_.InMessageBox()) handlers_->OnTimer(id);
  });
  Arm();
}

void Win32EventLoop::Dispatch(UINT message, WPARAM wparam, LRESULT& result, bool& handled) {
  if (const auto source = on_message_.find(message); source != on_message_.end()) {
    source->second(wparam);
    handled = true;
    return;
  }
  switch (message) {
    case WM_TIMER:
      if (wparam == kTimerIdLoop) {
        RunDueTimers();
        handled = true;
      } else if (const auto timer = on_window_timer_.find(wparam);
                 timer != on_window_timer_.end()) {
        timer->second();
        handled = true;
      }
      break;
    case WM_SYSCOMMAND:
      // The close box, the window menu and Alt+F4 come this way; the default handling then
      // sends WM_CLOSE, which is the person's.
      if ((wparam & 0xFFF0) == SC_CLOSE) person_closing_ = true;
      break;  // the default handling runs
    case WM_CLOSE: {
      const int16_t reason = person_closing_ ? kCloseByPerson : kCloseByTaskManager;
      person_closing_ = false;
      if (handlers_ != nullptr) handlers_->OnCloseRequest(reason);
      handled = true;
      break;
    }
    case WM_QUERYENDSESSION:
      result = TRUE;  // a close is never refused
      handled = true;
      break;
    case WM_ENDSESSION:
      if (wparam != FALSE && handlers_ != nullptr) handlers_->OnCloseRequest(kCloseBySessionEnd);
      handled = true;
      break;
    default:
      break;
  }
}

bool Win32EventLoop::Route(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  bool handled = false;
  // An error must not unwind through the system's frames of DispatchMessage: it ends the
  // program here, as an unguarded handler's error does.
  try {
    Dispatch(message, wparam, result, handled);
    (void)lparam;
  } catch (const std::exception& error) {
    if (on_fatal_) on_fatal_(error.what());
    ExitProcess(1);
  } catch (...) {
    if (on_fatal_) on_fatal_("Unknown error");
    ExitProcess(1);
  }
  return handled;
}

}  // namespace cw
