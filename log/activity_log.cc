#include "log/activity_log.h"

#include "log/list_bounds.h"

namespace cw {
namespace {

// Runs one step of the log; a failure of the list or the clock skips only that step.
template <typename Step>
void Guarded(Step&& step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace

void WriteLog(ListBox& list, Clock& clock, std::string_view text) noexcept {
  for (size_t at = 0; at < text.size(); at += kLogChunk) {
    Guarded([&] { list.AddItem(FormLogEntry(clock, text.substr(at, kLogChunk))); });
  }
  Guarded([&] { BoundLogList(list); });
  Guarded([&] { SelectNewestEntry(list); });
}

}  // namespace cw
