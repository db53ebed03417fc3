#include "log/list_bounds.h"

namespace cw {

std::string FormLogEntry(Clock& clock, std::string_view chunk) {
  std::string entry = clock.ShortDateText();
  entry += ' ';
  entry += clock.LongTimeText();
  entry += ' ';
  entry += chunk;
  return entry;
}

void BoundLogList(ListBox& list) {
  // One removal per surplus entry; the list keeps this O(1) each (it does not shift every
  // entry), so a text that adds thousands of entries costs time in proportion to what it adds.
  while (list.ListCount() > kMaxLogEntries) list.RemoveItem(1);
}

void SelectNewestEntry(ListBox& list) { list.SetListIndex(list.ListCount() - 1); }

}  // namespace cw
