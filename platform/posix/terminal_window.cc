#include "platform/posix/terminal_window.h"

#include <curses.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string_view>

#include "platform/visible_text.h"

namespace cw {
namespace {

constexpr int kEscape = 27;
// The critical style's mark inside the box (the title is the program's, as on every box).
constexpr char kCriticalMark[] = "(X) ";

// The terminal's character set need not be the program's code page: high bytes go as \xHH.
std::string Visible(std::string_view text) { return VisibleText(text, HighBytes::kHex); }

// line and a line end, in one write, so that an entry's line is never split between two.
void WriteLine(std::string line, FILE* out) {
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out);
}

std::string FormatNow(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[64];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, format, &tm));
}

// Words of text laid out in lines of at most width bytes.
std::deque<std::string> WrapText(const std::string& text, size_t width) {
  std::deque<std::string> lines;
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    at = end + 1;
    while (word.size() > width) {
      if (!line.empty()) lines.push_back(std::move(line)), line.clear();
      lines.push_back(word.substr(0, width));
      word.erase(0, width);
    }
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(std::move(line));
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

TerminalWindow::TerminalWindow(bool use_terminal, FILE* lines_out) : lines_out_(lines_out) {
  if (!use_terminal) return;
  // newterm, unlike initscr, returns null on an unusable TERM instead of ending the process.
  SCREEN* screen = newterm(nullptr, stdout, stdin);
  if (screen == nullptr) return;
  // A terminal that cannot place the cursor (TERM=dumb) cannot show the window either.
  const char* cursor_address = tigetstr("cup");
  if (cursor_address == nullptr || cursor_address == reinterpret_cast<char*>(-1)) {
    endwin();
    delscreen(screen);
    return;
  }
  screen_ = screen;
  drawing_ = true;
  set_escdelay(25);  // Escape closes the window without a second's wait for a key sequence
  cbreak();
  noecho();
  nodelay(stdscr, TRUE);
  keypad(stdscr, TRUE);
  curs_set(0);
}

TerminalWindow::~TerminalWindow() { Shutdown(); }

void TerminalWindow::StopDrawing() {
  if (!drawing_) return;
  endwin();
  delscreen(static_cast<SCREEN*>(screen_));
  screen_ = nullptr;
  drawing_ = false;
}

void TerminalWindow::Shutdown() {
  StopDrawing();
  if (lines_out_ != nullptr) std::fflush(lines_out_);
}

void TerminalWindow::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (!drawing_) return;
  // The caption is the terminal's title.
  std::string title = "\033]0;" + Visible(caption) + "\007";
  std::fwrite(title.data(), 1, title.size(), stdout);
  std::fflush(stdout);
}

void TerminalWindow::Hide() {
  if (!drawing_) return;
  StopDrawing();
  // From now on the entries go to standard output; the ones already drawn go there first, so the
  // output holds the whole log.
  if (lines_out_ == nullptr || entries_ == nullptr) return;
  for (const std::string& entry : *entries_) WriteLine(Visible(entry), lines_out_);
  std::fflush(lines_out_);
}

int TerminalWindow::KeyDescriptor() const { return drawing_ ? STDIN_FILENO : -1; }

bool TerminalWindow::ReadCloseKey() {
  if (!drawing_) return false;
  bool close = false;
  for (int key = getch(); key != ERR; key = getch()) {
    if (key == 'q' || key == 'Q' || key == kEscape) close = true;
  }
  return close;
}

void TerminalWindow::FollowTerminalSize() {
  if (!drawing_) return;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
    resizeterm(size.ws_row, size.ws_col);
  dirty_ = true;
}

int TerminalWindow::MillisecondsToNextClockChange() const {
  if (!drawing_) return 60000;
  using namespace std::chrono;
  auto now = system_clock::now().time_since_epoch();
  auto into_minute = duration_cast<milliseconds>(now) % minutes(1);
  return static_cast<int>((minutes(1) - into_minute).count()) + 1;
}

void TerminalWindow::DrawStatusBar() {
  const int row = LINES - 1;
  if (row < 0) return;
  const std::string date = std::string(" ").append(FormatNow("%x")).append(" ");
  const std::string time = std::string(" ").append(FormatNow("%H:%M")).append(" ");
  attron(A_REVERSE);
  mvhline(row, 0, ' ', COLS);
  // Panels, right to left: the time, the date, and the empty panel that takes the rest.
  int time_at = std::max(COLS - static_cast<int>(time.size()), 0);
  int date_at = std::max(time_at - 1 - static_cast<int>(date.size()), 0);
  mvaddnstr(row, date_at, date.c_str(), COLS - date_at);
  if (time_at > 0) mvaddch(row, time_at - 1, ACS_VLINE);
  if (date_at > 0) mvaddch(row, date_at - 1, ACS_VLINE);
  mvaddnstr(row, time_at, time.c_str(), COLS - time_at);
  attroff(A_REVERSE);
}

void TerminalWindow::DrawEntries(int rows) {
  const int count = static_cast<int>(entries_->size());
  const int top = std::max(count - rows, 0);
  for (int r = 0; r < rows && top + r < count; ++r) {
    std::string line = Visible((*entries_)[top + r]);
    if (static_cast<int>(line.size()) > COLS) line.resize(std::max(COLS, 0));
    const bool selected = top + r == count - 1;
    if (selected) {
      attron(A_REVERSE);
      mvhline(r, 0, ' ', COLS);
    }
    mvaddnstr(r, 0, line.c_str(), static_cast<int>(line.size()));
    if (selected) attroff(A_REVERSE);
  }
}

void TerminalWindow::Redraw() {
  if (!drawing_) return;
  const std::time_t minute = std::time(nullptr) / 60;
  if (!dirty_ && minute == shown_minute_) return;
  erase();
  // The list above the status bar on the bottom row.
  if (entries_ != nullptr) DrawEntries(std::max(LINES - 1, 0));
  DrawStatusBar();
  refresh();
  dirty_ = false;
  shown_minute_ = minute;
}

void TerminalWindow::ShowMessageBox(const std::string& prompt, MessageBoxStyle style) {
  const std::string text =
      (style == MessageBoxStyle::kCritical ? kCriticalMark : "") + Visible(prompt);
  if (!drawing_) {
    // Nobody can answer: the prompt goes to standard error and nothing waits.
    WriteLine(std::string(kProgramTitle) + ": " + text, stderr);
    return;
  }
  Redraw();
  const int inner = std::max(std::min(COLS - 6, 60), 10);
  std::deque<std::string> lines = WrapText(text, static_cast<size_t>(inner));
  const int height = static_cast<int>(lines.size()) + 4;
  const int width = inner + 4;
  WINDOW* box_window =
      newwin(height, width, std::max((LINES - height) / 2, 0), std::max((COLS - width) / 2, 0));
  if (box_window == nullptr) return;
  box(box_window, 0, 0);
  mvwaddnstr(box_window, 0, 2, (std::string(" ") + kProgramTitle + " ").c_str(), width - 4);
  for (size_t i = 0; i < lines.size(); ++i)
    mvwaddnstr(box_window, static_cast<int>(i) + 1, 2, lines[i].c_str(), inner);
  wattron(box_window, A_REVERSE);
  mvwaddstr(box_window, height - 2, (width - 6) / 2, "[ OK ]");
  wattroff(box_window, A_REVERSE);
  keypad(box_window, TRUE);
  nodelay(box_window, FALSE);
  wrefresh(box_window);
  for (;;) {
    int key = wgetch(box_window);
    if (key == '\n' || key == '\r' || key == ' ' || key == KEY_ENTER || key == kEscape ||
        key == 'o' || key == 'O' || key == 'q' || key == 'Q')
      break;
    if (key == ERR) break;  // the terminal is gone
  }
  delwin(box_window);
  dirty_ = true;
  Redraw();
}

void TerminalWindow::ShowAdded(const std::deque<std::string>& entries) {
  dirty_ = true;
  if (drawing_ || lines_out_ == nullptr) return;
  WriteLine(Visible(entries.back()), lines_out_);
}

void TerminalWindow::ShowNewest(const std::deque<std::string>& entries) {
  entries_ = &entries;
  dirty_ = true;
}

}  // namespace cw
