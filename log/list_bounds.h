#pragma once
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/window.h"

namespace cw {

// The log list never holds more than this many entries.
inline constexpr int kMaxLogEntries = 200;
// Text per entry, after the date and time.
inline constexpr size_t kLogChunk = 100;

// "<short date> <long time> " followed by chunk: the form of every log entry.
std::string FormLogEntry(Clock& clock, std::string_view chunk);

// Removes the entry at index 1 until at most kMaxLogEntries remain. The first entry (the
// separator line written at start-up) stays for the life of the window. Throws what the list
// throws.
void BoundLogList(ListBox& list);

// Selects the newest entry, which scrolls it into view (-1 on an empty list).
void SelectNewestEntry(ListBox& list);

}  // namespace cw
