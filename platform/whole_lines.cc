#include "platform/whole_lines.h"

#include <algorithm>

namespace cw {

uint64_t EndOfWholeLines(uint64_t size,
                         const std::function<std::string(uint64_t offset, size_t count)>& read_at) {
  constexpr uint64_t kBlock = 64 * 1024;
  uint64_t end = size;  // blocks are read backwards; each also holds the byte after it
  while (end > 0) {
    const uint64_t start = end > kBlock ? end - kBlock : 0;
    const uint64_t count = std::min<uint64_t>(end + 1, size) - start;
    const std::string block = read_at(start, static_cast<size_t>(count));
    for (size_t i = block.size(); i >= 2; --i) {
      if (block[i - 2] == '\r' && block[i - 1] == '\n') return start + i;
    }
    end = start;
  }
  return 0;
}

}  // namespace cw
