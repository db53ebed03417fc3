#pragma once
// The main window on Win32: a top-level window with a LISTBOX child (the log list) filling the
// client area above a common-controls status bar (an empty panel, the short date, the time in
// hours and minutes, kept current by a timer of the window). Both are laid out again whenever the
// window's size changes.
//
// The LISTBOX holds NUL-terminated strings, so it shows each entry with its control bytes made
// visible (platform/visible_text.h); the log itself keeps the original bytes.
//
// Test and support hook: when CORBELWYNFORD_LOG_FILE is set, every entry the log adds is also
// appended to that file as one line (as the LISTBOX shows it, then CR LF). A relative name is taken
// from the program's folder. Otherwise the log is kept in memory only.
#include "platform/win32/windows_api.h"

#include <deque>
#include <functional>
#include <string>

#include "platform/win32/win32_messages.h"
#include "platform/window.h"

namespace cw {

// True when someone can answer a message box: the process's window station is the visible one.
// A service without access to the desktop would wait forever on a box nobody sees.
bool CanShowMessageBox();

class Win32Window final : public MainWindow, public LogView {
 public:
  // Creates the window hidden, with its list, status bar and clock timer. log_folder is where a
  // relative CORBELWYNFORD_LOG_FILE lives. Throws RelayError when the window cannot be made.
  Win32Window(HINSTANCE instance, const std::string& log_folder);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  HWND Handle() const { return hwnd_; }
  // Where the window's messages go first (the event loop): true when it handled one, result
  // then being what the window procedure returns.
  using Router = std::function<bool(UINT message, WPARAM wparam, LRESULT& result)>;
  void SetRouter(Router router) { router_ = std::move(router); }
  // Shows the window unless it was hidden for good (service mode).
  void Show(int show_command);

  LogView& LogList() override { return *this; }
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& caption) override;
  void Hide() override;
  void ShowMessageBox(const std::string& prompt, MessageBoxStyle style) override;

  // The LISTBOX holds a copy of each entry as shown; it scrolls a selected entry into view by
  // itself.
  void ShowAdded(const std::deque<std::string>& entries) override;
  void ShowDropped(int index) override;
  void ShowNewest(const std::deque<std::string>& entries) override;

 private:
  static constexpr char kClassName[] = "CorbelwynfordMain";

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void CreateControls(HINSTANCE instance);
  void OpenLogFile(const std::string& log_folder);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // The status bar along the bottom, the list filling the rest of the client area.
  void Layout();
  void LayoutStatusBar();
  // Rewrites the date and time panels when their texts changed (or always, with force).
  void UpdateClockPanels(bool force);

  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
  HWND status_bar_ = nullptr;
  HANDLE log_file_ = INVALID_HANDLE_VALUE;
  std::string caption_ = kProgramTitle;
  std::string shown_date_;
  std::string shown_time_;
  bool hidden_ = false;
  Router router_;
};

}  // namespace cw
