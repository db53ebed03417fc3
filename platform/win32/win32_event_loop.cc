#include "platform/win32/win32_event_loop.h"

#include <algorithm>
#include <exception>
#include <functional>

#include "base/errors.h"
#include "platform/win32/win32_window.h"

namespace cw {

Win32EventLoop::Win32EventLoop(Win32Window& window)
    : TimerLoop(&SteadyNow, [this] { Arm(); }), window_(window) {
  Arm();
  window_.SetRouter(std::bind_front(&Win32EventLoop::Route, this));
}

Win32EventLoop::~Win32EventLoop() {
  window_.SetRouter(nullptr);
  KillTimer(window_.Handle(), kTimerIdLoop);
}

void Win32EventLoop::Arm() {
  const int wait = std::max(timers().MillisecondsToNext(kMaxWaitMs), 1);
  if (SetTimer(window_.Handle(), kTimerIdLoop, static_cast<UINT>(wait), nullptr) == 0) {
    throw RelayError("Cannot start a timer");
  }
}

void Win32EventLoop::Turn(int max_wait_ms) {
  std::vector<HANDLE> handles;
  std::vector<const Source*> owners;
  for (const Source& source : sources_) {
    const HANDLE handle = source.handle();
    if (handle == nullptr || handles.size() == MAXIMUM_WAIT_OBJECTS - 1) continue;
    handles.push_back(handle);
    owners.push_back(&source);
  }
  // The window's messages and the sources, in one wait.
  const DWORD timeout_ms = max_wait_ms < 0 ? INFINITE : static_cast<DWORD>(max_wait_ms);
  const DWORD woke = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(),
                                                 timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (woke >= WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + handles.size()) {
    owners[woke - WAIT_OBJECT_0]->on_ready();
    timers().RunDue();  // a source may have made a timer due now
    return;
  }
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // Nothing here posts it; should anything, it ends the program.
    if (msg.message == WM_QUIT) ExitProcess(static_cast<UINT>(msg.wParam));
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void Win32EventLoop::Run() {
  for (;;) Turn(-1);
}

// The window's close requests.
bool Win32EventLoop::DispatchWindowEvent(UINT message, WPARAM wparam, LRESULT& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      // The close box, the window menu and Alt+F4 come this way; the default handling then
      // sends WM_CLOSE, which is the person's.
      if ((wparam & 0xFFF0) == SC_CLOSE) person_closing_ = true;
      return false;  // the default handling runs
    case WM_CLOSE: {
      const int16_t reason = person_closing_ ? kCloseByPerson : kCloseByTaskManager;
      person_closing_ = false;
      if (window_events_ != nullptr) window_events_->OnCloseRequest(reason);
      return true;
    }
    case WM_QUERYENDSESSION:
      result = TRUE;  // a close is never refused
      return true;
    case WM_ENDSESSION:
      if (wparam != FALSE && window_events_ != nullptr) {
        window_events_->OnCloseRequest(kCloseBySessionEnd);
      }
      return true;
    default:
      return false;
  }
}

bool Win32EventLoop::Route(UINT message, WPARAM wparam, LRESULT& result) {
  // An error must not unwind through the system's frames of DispatchMessage: it ends the
  // program here, as an unguarded handler's error does.
  try {
    if (const auto signal = on_signal_.find(message); signal != on_signal_.end()) {
      signal->second(wparam);
      return true;
    }
    if (message == WM_TIMER && wparam == kTimerIdLoop) {
      timers().RunDue();
      return true;
    }
    return DispatchWindowEvent(message, wparam, result);
  } catch (const std::exception& error) {
    if (on_fatal_) on_fatal_(error.what());
  } catch (...) {
    if (on_fatal_) on_fatal_("Unknown error");
  }
  ExitProcess(1);
}

}  // namespace cw
