#include "log/log.h"

#include <string>

namespace cw {
namespace {

// Runs one step; a failure of the list or the clock skips only that step.
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
    out += '<';
    out += std::to_string(c);
    out += '>';
  }
}

}  // namespace

void Log::Add(std::string_view chunk) {
  std::string entry = clock_.ShortDateText();
  entry += ' ';
  entry += clock_.LongTimeText();
  entry += ' ';
  entry += chunk;
  list_.AddItem(entry);
}

void Log::Bound() {
  // One removal per surplus entry; the list keeps this O(1) each (it does not shift every entry).
  while (list_.ListCount() > kMaxLogEntries) list_.RemoveItem(1);
}

void Log::WriteLog(std::string_view text) noexcept {
  for (size_t at = 0; at < text.size(); at += kLogChunk) {
    Guarded([&] { Add(text.substr(at, kLogChunk)); });
  }
  Guarded([&] { Bound(); });
  Guarded([&] { SelectNewest(); });
}

void Log::WriteTrafficLog(bool sent, std::string_view text) {
  const std::string_view prefix = sent ? " Tx: " : " Rx: ";
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
  Bound();  // also when nothing was added
  SelectNewest();
}

}  // namespace cw
