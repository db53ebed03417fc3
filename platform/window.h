#pragma once
// The main window as the logic sees it: its caption, its visibility, its client size, the log list
// and the status bar, and the modal message box. One window exists for the life of the process and
// owns all of these; the logic only holds references.
#include <string>

namespace cw {

// The title of the window and of every message box.
inline constexpr char kProgramTitle[] = "Corbelwynford";

// The log list. Entries are byte strings (any byte value, NUL included) kept in the order added.
// Indexes are 0-based. Every operation that the list refuses throws RelayError and changes nothing.
class ListBox {
 public:
  virtual ~ListBox() = default;
  virtual void AddItem(const std::string& entry) = 0;
  // Throws when index is outside 0..ListCount()-1.
  virtual void RemoveItem(int index) = 0;
  virtual int ListCount() const = 0;
  // -1 means no selection; another index selects that entry and scrolls it into view. Throws when
  // index is outside -1..ListCount()-1.
  virtual void SetListIndex(int index) = 0;
  virtual int ListIndex() const = 0;
  // Size in the window's units (terminal cells, pixels). A negative value is refused (throws).
  virtual void SetWidth(int width) = 0;
  virtual void SetHeight(int height) = 0;
  // True while each entry goes out as a line of its own (to a journal, a pipe) rather than into a
  // list on screen: a log entry is then kept whole, however long, and a traffic entry short.
  virtual bool KeepsWholeEntries() const { return false; }
};

enum class MessageBoxStyle { kOkOnly, kCritical };

class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual ListBox& List() = 0;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // Hides the window for good (service mode): nothing is drawn from then on.
  virtual void Hide() = 0;
  virtual int ClientWidth() const = 0;
  virtual int ClientHeight() const = 0;
  virtual int StatusBarHeight() const = 0;
  // Shows prompt under kProgramTitle and returns once the person has confirmed it, or at once
  // where nobody can answer (no terminal). The critical style is shown inside the box, never in
  // its title.
  virtual void ShowMessageBox(const std::string& prompt, MessageBoxStyle style) = 0;
};

}  // namespace cw
