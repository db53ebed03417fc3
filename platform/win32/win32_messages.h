#pragma once
// What the facilities of the Windows platform post to the window's thread, and the ids of the
// window's timers. Everything that happens off that thread (WinHTTP's callbacks, the service
// manager's controls) becomes one of these messages, so the handlers only ever run on the
// window's thread, and only while its messages are processed.
#include "platform/win32/windows_api.h"

namespace cw {

// WinHTTP has queued events; wParam and lParam are unused (the queue holds them).
inline constexpr UINT kMsgTransferEvents = WM_APP + 1;
// A service control; wParam is the control code (or kControlServiceStarted).
inline constexpr UINT kMsgServiceControl = WM_APP + 2;
// Not a control of the service manager: ServiceMain has run and the handler is registered.
inline constexpr WPARAM kControlServiceStarted = 0x10000;

inline constexpr UINT_PTR kTimerIdLoop = 1;   // wakes the event loop when one of its timers is due
inline constexpr UINT_PTR kTimerIdClock = 3;  // the status bar's date and time

}  // namespace cw
