#include "log/log.h"

#include <string>

namespace cw {
namespace {

// Runs one step; a failure of the view or the clock skips only that step.
template <typename Step>
void Guarded(Step&& step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

void AppendEscaped(std::string& out, unsigned char c) {
  if (c >= 32 && c <= 127) {
    out += static_cast<char>(c);
  } else {
    out += '<' + std::to_string(c) + '>';
  }
}

}  // namespace

void Log::Add(std::string_view chunk) {
  std::string entry = clock_.ShortDateText() + ' ' + clock_.LongTimeText() + ' ';
  entry += chunk;
  entries_.push_back(std::move(entry));
  try {
    view_.ShowAdded(entries_);
  } catch (...) {
    entries_.pop_back();  // what the window cannot show is not kept either
    throw;
  }
}

void Log::Bound() {
  // The first entry stays; the one after it gives way, O(1) each.
  while (entries_.size() > kMaxLogEntries) {
    entries_.erase(entries_.begin() + 1);
    view_.ShowDropped(1);
  }
}

void Log::WriteLog(std::string_view text) noexcept {
  const size_t chunk = view_.KeepsWholeEntries() ? text.size() : kLogChunk;
  for (size_t at = 0; at < text.size(); at += chunk) {
    Guarded([&] { Add(text.substr(at, chunk)); });
  }
  Guarded([&] { Bound(); });
  Guarded([&] { ShowNewest(); });
}

void Log::AddTrafficLine(std::string_view prefix, std::string_view text) {
  std::string line(prefix);
  for (size_t at = 0; at < text.size() && at < kTrafficLineBytes; ++at) {
    AppendEscaped(line, static_cast<unsigned char>(text[at]));
  }
  if (text.size() > kTrafficLineBytes) line += "... (" + std::to_string(text.size()) + " bytes)";
  Add(line);
}

void Log::WriteTrafficLog(bool sent, std::string_view text) {
  const std::string_view prefix = sent ? " Tx: " : " Rx: ";
  if (view_.KeepsWholeEntries()) {
    if (!text.empty()) AddTrafficLine(prefix, text);
  } else {
    std::string chunk(prefix);
    // Escaped as it goes and bounded after each entry: a line of megabytes never holds its
    // hundreds of thousands of entries at once, nor its escaped text whole.
    for (size_t at = 0; at < text.size();) {
      while (at < text.size() && chunk.size() < prefix.size() + kLogChunk) {
        AppendEscaped(chunk, static_cast<unsigned char>(text[at++]));
      }
      const size_t full = std::min(chunk.size(), prefix.size() + kLogChunk);
      Add(std::string_view(chunk).substr(0, full));
      chunk.erase(prefix.size(), full - prefix.size());
      Bound();
    }
    if (chunk.size() > prefix.size()) Add(chunk);
  }
  Bound();  // also when nothing was added
  ShowNewest();
}

}  // namespace cw
