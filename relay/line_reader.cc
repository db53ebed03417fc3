#include "relay/line_reader.h"

#include <cstring>
#include <utility>

namespace cw {
namespace {
constexpr size_t kBlockSize = 64 * 1024;
}  // namespace

bool LineReader::Fill() {
  if (at_ < block_.size()) return true;
  if (deferred_error_) std::rethrow_exception(std::exchange(deferred_error_, nullptr));
  block_.resize(kBlockSize);
  at_ = 0;
  size_t n = 0;
  try {
    n = file_.Read(block_.data(), block_.size());
  } catch (...) {
    block_.clear();  // nothing unread is left behind
    throw;
  }
  block_.resize(n);
  return n > 0;
}

bool LineReader::AtEnd() { return !Fill(); }

std::string LineReader::ReadLine() {
  std::string line;
  ++lines_read_;
  ended_at_cr_ = false;
  while (Fill()) {
    const char* begin = block_.data() + at_;
    const size_t left = block_.size() - at_;
    const void* cr = std::memchr(begin, '\r', left);
    if (cr == nullptr) {
      line.append(begin, left);
      at_ = block_.size();
      continue;
    }
    const size_t length = static_cast<const char*>(cr) - begin;
    line.append(begin, length);
    at_ += length + 1;
    ended_at_cr_ = true;
    // The line feed of a CR LF pair may sit in the next block. A read failure while looking for
    // it does not take this complete line away: it is reported by the next call.
    bool more = false;
    try {
      more = Fill();
    } catch (...) {
      deferred_error_ = std::current_exception();
    }
    if (more && block_[at_] == '\n') ++at_;
    return line;
  }
  return line;
}

}  // namespace cw
