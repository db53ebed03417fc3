#pragma once
// The main window on a terminal. With a terminal on standard input and output it is a full-screen
// ncurses window: the log list from the top-left corner, newest entry selected and in view, and a
// status bar on the bottom row (an empty panel, the short date, the time in hours and minutes).
// Without one, or once hidden (service mode), nothing is drawn and every entry added to the list
// is written to standard output as one line instead, which is what a service's journal keeps.
// Either way an entry's bytes are shown visibly escaped: an entry can never move the cursor or
// change the terminal's state.
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>

#include "platform/window.h"

namespace cw {

class TerminalWindow final : public MainWindow, public LogView {
 public:
  // use_terminal: draw on the terminal (standard input and output are both terminals). When
  // ncurses cannot start (an unknown TERM, say) the window falls back to plain lines.
  TerminalWindow(bool use_terminal, FILE* lines_out);
  ~TerminalWindow() override;
  TerminalWindow(const TerminalWindow&) = delete;
  TerminalWindow& operator=(const TerminalWindow&) = delete;

  LogView& LogList() override { return *this; }
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& caption) override;
  void Hide() override;
  void ShowMessageBox(const std::string& prompt, MessageBoxStyle style) override;

  // Every change to the log means a redraw; without a screen each entry is also a line out.
  void ShowAdded(const std::deque<std::string>& entries) override;
  void ShowDropped(int) override { dirty_ = true; }
  void ShowNewest(const std::deque<std::string>& entries) override;
  bool KeepsWholeEntries() const override { return !drawing_; }

  // For the event loop.
  // The descriptor whose readiness means keys are waiting; -1 when not drawing.
  int KeyDescriptor() const;
  // Reads waiting keys; true when one of them asks to close (q, Q or Escape).
  bool ReadCloseKey();
  // After SIGWINCH: takes the terminal's new size, which the next redraw fills.
  void FollowTerminalSize();
  // Draws what changed since the last call, and the status bar when the minute changed.
  void Redraw();
  int MillisecondsToNextClockChange() const;
  // Gives the terminal back in its normal state; called before the process ends.
  void Shutdown();

 private:
  void StopDrawing();
  // The newest entries that fit in rows, the newest selected at the bottom once they fill them.
  void DrawEntries(int rows);
  void DrawStatusBar();

  const std::deque<std::string>* entries_ = nullptr;  // the log's, once it has written
  std::string caption_ = kProgramTitle;
  FILE* lines_out_;
  bool drawing_ = false;
  bool dirty_ = true;
  std::time_t shown_minute_ = -1;
  void* screen_ = nullptr;  // the ncurses SCREEN
};

}  // namespace cw
