#include "platform/win32/win32_window.h"

#include <commctrl.h>

#include <algorithm>

#include "base/errors.h"
#include "platform/visible_text.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"

namespace cw {
namespace {

constexpr int kListControlId = 1;
constexpr int kStatusBarControlId = 2;
// The window as designed, in twips: client area 5700 by 2895; the status bar's panels at least
// 1440 (the empty one) and 200 (date and time) wide.
constexpr int kClientWidthTwips = 5700;
constexpr int kClientHeightTwips = 2895;
constexpr int kMinEmptyPanelTwips = 1440;
constexpr int kMinClockPanelTwips = 200;
constexpr int kTwipsPerInch = 1440;
constexpr int kClockTickMs = 1000;
constexpr int kPanelPadding = 12;  // pixels around a panel's text (bevel and margins)

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, kTwipsPerInch); }

int TextWidth(HWND control, const std::string& text) {
  HDC dc = GetDC(control);
  if (dc == nullptr) return 0;
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
  SIZE size{};
  GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
  if (old != nullptr) SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

// A LISTBOX shows the ANSI code page's characters: only control bytes need making visible.
std::string ListBoxText(std::string_view entry) { return VisibleText(entry, HighBytes::kKeep); }

void RegisterWindowClass(HINSTANCE instance, const char* class_name, WNDPROC window_proc) {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
  if (window_class.hIcon == nullptr) window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  window_class.hIconSm = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = class_name;
  if (!RegisterClassExA(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    throw RelayError("Cannot register the window class");
  }
}

}  // namespace

bool CanShowMessageBox() {
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags{};
  if (!GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

Win32Window::Win32Window(HINSTANCE instance, const std::string& log_folder) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  RegisterWindowClass(instance, kClassName, &Win32Window::WindowProc);

  const int dpi = ScreenDpi();
  RECT frame{0, 0, TwipsToPixels(kClientWidthTwips, dpi), TwipsToPixels(kClientHeightTwips, dpi)};
  AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
  // WM_NCCREATE stores this object with the window, so hwnd_ is set during the call.
  CreateWindowExA(0, kClassName, caption_.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                  CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                  nullptr, nullptr, instance, this);
  if (hwnd_ == nullptr) throw RelayError("Cannot create the main window");
  CreateControls(instance);
  UpdateClockPanels(true);
  Layout();
  SetTimer(hwnd_, kTimerIdClock, kClockTickMs, nullptr);
  OpenLogFile(log_folder);
}

void Win32Window::CreateControls(HINSTANCE instance) {
  // The list first: it comes first in the tab order, the status bar second.
  list_ = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", nullptr,
                          WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT |
                              LBS_NOTIFY | LBS_HASSTRINGS,
                          0, 0, 0, 0, hwnd_, reinterpret_cast<HMENU>(kListControlId), instance,
                          nullptr);
  status_bar_ =
      CreateWindowExA(0, STATUSCLASSNAMEA, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0,
                      0, hwnd_, reinterpret_cast<HMENU>(kStatusBarControlId), instance, nullptr);
  if (list_ == nullptr || status_bar_ == nullptr) {
    DestroyWindow(hwnd_);
    throw RelayError("Cannot create the window's controls");
  }
  const WPARAM font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
  SendMessageA(list_, WM_SETFONT, font, FALSE);
  SendMessageA(status_bar_, WM_SETFONT, font, FALSE);
}

void Win32Window::OpenLogFile(const std::string& log_folder) {
  char name[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("CORBELWYNFORD_LOG_FILE", name, sizeof name);
  if (length == 0 || length >= sizeof name) return;
  std::string path(name, length);
  if (!Win32FileSystem().IsAbsolutePath(path)) path = log_folder + path;
  log_file_ = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

Win32Window::~Win32Window() {
  if (hwnd_ != nullptr) {
    KillTimer(hwnd_, kTimerIdClock);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (log_file_ != INVALID_HANDLE_VALUE) CloseHandle(log_file_);
}

LRESULT CALLBACK Win32Window::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    auto* self = static_cast<Win32Window*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, message, wparam, lparam);
  return self->HandleMessage(message, wparam, lparam);
}

LRESULT Win32Window::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      if (status_bar_ != nullptr) Layout();
      break;
    case WM_TIMER:
      if (wparam == kTimerIdClock) {
        UpdateClockPanels(false);
        return 0;
      }
      break;
    case WM_SETTINGCHANGE:
      if (status_bar_ != nullptr) UpdateClockPanels(true);
      break;
    case WM_SETFOCUS:
      if (list_ != nullptr) SetFocus(list_);
      return 0;
    default:
      break;
  }
  if (router_) {
    LRESULT result = 0;
    if (router_(message, wparam, result)) return result;
  }
  // The window lives as long as the process: a close is the handlers' business, and without them
  // (before start-up has wired them) it is ignored.
  if (message == WM_CLOSE) return 0;
  return DefWindowProcA(hwnd_, message, wparam, lparam);
}

void Win32Window::Layout() {
  LayoutStatusBar();
  RECT client{};
  GetClientRect(hwnd_, &client);
  RECT bar{};
  GetWindowRect(status_bar_, &bar);
  const int list_height = std::max<int>(client.bottom - (bar.bottom - bar.top), 0);
  MoveWindow(list_, 0, 0, client.right, list_height, TRUE);
}

void Win32Window::LayoutStatusBar() {
  SendMessageA(status_bar_, WM_SIZE, 0, 0);
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int dpi = ScreenDpi();
  const int min_clock = TwipsToPixels(kMinClockPanelTwips, dpi);
  const int date_width = std::max(TextWidth(status_bar_, shown_date_) + kPanelPadding, min_clock);
  // The last panel also holds the size grip.
  const int time_width =
      std::max(TextWidth(status_bar_, shown_time_) + kPanelPadding + GetSystemMetrics(SM_CXVSCROLL),
               min_clock);
  const int empty_width = std::max<int>(client.right - date_width - time_width,
                                        TwipsToPixels(kMinEmptyPanelTwips, dpi));
  int edges[3] = {empty_width, empty_width + date_width, -1};
  SendMessageA(status_bar_, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(edges));
}

void Win32Window::UpdateClockPanels(bool force) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::string date = FormatShortDate(now);
  std::string time = FormatTime(now, TIME_NOSECONDS);
  if (!force && date == shown_date_ && time == shown_time_) return;
  shown_date_ = std::move(date);
  shown_time_ = std::move(time);
  LayoutStatusBar();
  SendMessageA(status_bar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(""));
  SendMessageA(status_bar_, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(shown_date_.c_str()));
  SendMessageA(status_bar_, SB_SETTEXTA, 2, reinterpret_cast<LPARAM>(shown_time_.c_str()));
}

void Win32Window::Show(int show_command) {
  if (hidden_) return;
  ShowWindow(hwnd_, show_command);
  UpdateWindow(hwnd_);
}

void Win32Window::SetCaption(const std::string& caption) {
  caption_ = caption;
  SetWindowTextA(hwnd_, ListBoxText(caption).c_str());
}

void Win32Window::Hide() {
  hidden_ = true;
  ShowWindow(hwnd_, SW_HIDE);
}

void Win32Window::ShowMessageBox(const std::string& prompt, MessageBoxStyle style) {
  if (!CanShowMessageBox()) return;
  // A NUL would end the prompt early; line breaks stay line breaks.
  std::string text = prompt;
  for (size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at + 2)) {
    text.replace(at, 1, "^@");
  }
  HWND owner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
  UINT flags = MB_OK | MB_SETFOREGROUND | (owner == nullptr ? MB_TASKMODAL : 0);
  if (style == MessageBoxStyle::kCritical) flags |= MB_ICONSTOP;
  MessageBoxA(owner, text.c_str(), kProgramTitle, flags);
}

void Win32Window::ShowAdded(const std::deque<std::string>& entries) {
  const std::string text = ListBoxText(entries.back());
  LRESULT result = SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (result == LB_ERR || result == LB_ERRSPACE) throw RelayError("The list refused the entry");
  if (log_file_ != INVALID_HANDLE_VALUE) {
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(log_file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}

void Win32Window::ShowDropped(int index) {
  SendMessageA(list_, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void Win32Window::ShowNewest(const std::deque<std::string>& entries) {
  SendMessageA(list_, LB_SETCURSEL, static_cast<WPARAM>(entries.size()) - 1, 0);
}

}  // namespace cw
