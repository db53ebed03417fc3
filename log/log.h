#pragma once
// The activity and traffic logs, kept in one history that the window shows: every entry carries the
// date and time it was written, at most 100 bytes of text each, and the history keeps at most 200
// entries, of which the first (the separator line of start-up) stays for good. Where entries go
// out as lines (a journal, a pipe), a log entry stays whole instead, and a traffic entry shows at
// most its first 1,024 bytes and then the whole size: a journal reads one line per entry, and a
// message of megabytes writes one line, not hundreds of thousands.
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/window.h"

namespace cw {

inline constexpr size_t kMaxLogEntries = 200;
inline constexpr size_t kLogChunk = 100;           // text per entry, after the date and time
inline constexpr size_t kTrafficLineBytes = 1024;  // of a traffic entry that goes out as a line

class Log {
 public:
  Log(LogView& view, Clock& clock) : view_(view), clock_(clock) {}

  // An activity entry per 100 bytes of text, entered verbatim; then the history is bounded and its
  // newest entry shown. Every step that fails is skipped and the next one runs; nothing ever
  // leaves this function.
  void WriteLog(std::string_view text) noexcept;
  // Traffic entries of text: the prefix " Tx: " for what was sent, " Rx: " for what came back,
  // then the text with bytes 32 to 127 as they are and every other byte as its decimal code
  // ("<10>"), cut into entries of 100 bytes of the escaped text (one escape may be split over
  // two). Any length is logged without holding it escaped whole. An entry the view cannot show
  // ends the call and is thrown.
  void WriteTrafficLog(bool sent, std::string_view text);

  // The entries, oldest first.
  const std::deque<std::string>& Entries() const { return entries_; }

 private:
  void Add(std::string_view chunk);
  void AddTrafficLine(std::string_view prefix, std::string_view text);
  void Bound();
  void ShowNewest() { view_.ShowNewest(entries_); }

  LogView& view_;
  Clock& clock_;
  // A deque: dropping the second entry moves one entry, not the whole history.
  std::deque<std::string> entries_;
};

}  // namespace cw
