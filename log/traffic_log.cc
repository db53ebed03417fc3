#include "log/traffic_log.h"

#include "log/list_bounds.h"

namespace cw {

std::string EscapeTrafficText(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 4);
  for (unsigned char c : text) {
    if (c >= 32 && c <= 127) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '<';
      escaped += std::to_string(c);
      escaped += '>';
    }
  }
  return escaped;
}

void WriteTrafficLog(ListBox& list, Clock& clock, int16_t is_tx, std::string_view text) {
  const std::string escaped = EscapeTrafficText(text);
  const std::string_view prefix = is_tx != 0 ? " Tx: " : " Rx: ";
  std::string chunk;
  // Chunks are cut from the escaped text, so one escape may be split over two entries.
  for (size_t at = 0; at < escaped.size(); at += kLogChunk) {
    chunk.assign(prefix);
    chunk.append(escaped, at, kLogChunk);
    list.AddItem(FormLogEntry(clock, chunk));
    // Bounded after each entry rather than once at the end: the list ends the same, but a line of
    // megabytes never holds its hundreds of thousands of entries at once, whose memory the
    // allocator would keep long after they are gone.
    BoundLogList(list);
  }
  BoundLogList(list);  // also when nothing was added
  SelectNewestEntry(list);
}

}  // namespace cw
