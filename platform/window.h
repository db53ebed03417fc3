#pragma once
// The main window as the logic sees it: its caption, its visibility, the view of the log, and the
// modal message box. One window exists for the life of the process, lays itself out whenever its
// size changes, and owns all of these; the logic only holds references.
#include <deque>
#include <string>

namespace cw {

// The title of the window and of every message box.
inline constexpr char kProgramTitle[] = "Corbelwynford";

// How the window shows the log. The log (log/log.h) keeps the entries, byte strings (any byte
// value, NUL included), oldest first; it tells its view of each change, and the view shows them.
class LogView {
 public:
  virtual ~LogView() = default;
  // entries.back() has just been added. Throws RelayError when it cannot be shown; the log then
  // takes it back out.
  virtual void ShowAdded(const std::deque<std::string>& entries) = 0;
  // The entry at index has just left entries.
  virtual void ShowDropped(int index) = 0;
  // A write has ended: the newest of entries is selected and in view. entries stays where it is
  // for the log's life, so a window may keep it to draw from until then.
  virtual void ShowNewest(const std::deque<std::string>& entries) = 0;
  // True while each entry goes out as a line of its own (to a journal, a pipe) rather than into a
  // list on screen: a log entry is then kept whole, however long, and a traffic entry short.
  virtual bool KeepsWholeEntries() const { return false; }
};

enum class MessageBoxStyle { kOkOnly, kCritical };

class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual LogView& LogList() = 0;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // Hides the window for good (service mode): nothing is drawn from then on.
  virtual void Hide() = 0;
  // Shows prompt under kProgramTitle and returns once the person has confirmed it, or at once
  // where nobody can answer (no terminal). The critical style is shown inside the box, never in
  // its title.
  virtual void ShowMessageBox(const std::string& prompt, MessageBoxStyle style) = 0;
};

}  // namespace cw
