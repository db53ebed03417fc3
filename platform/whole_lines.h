#pragma once
// The rule both platforms' AppendLine keep: a file of lines that each end in CR LF holds only
// whole lines, so the bytes after its last CR LF are what an interrupted append left behind.
#include <cstdint>
#include <functional>
#include <string>

namespace cw {

// The size a file of `size` bytes is to be cut to so that it ends after its last CR LF (0 when it
// holds none). read_at(offset, count) returns the file's bytes from offset; only the tail past
// the last CR LF, and a block before it, are read.
uint64_t EndOfWholeLines(uint64_t size,
                         const std::function<std::string(uint64_t offset, size_t count)>& read_at);

}  // namespace cw
