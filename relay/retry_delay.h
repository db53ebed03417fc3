#pragma once
// How long the failed-message file rests before it goes out again on its own: RetryAfter seconds
// after its last append at first; after a round in which nothing was delivered, twice as long, up
// to an hour; any delivered message brings it back to RetryAfter. Kept in memory only: a restart
// starts from RetryAfter.
#include <algorithm>
#include <cstdint>

namespace cw {

class RetryDelay {
 public:
  static constexpr int64_t kLongest = 3600;

  int64_t Seconds() const { return seconds_; }
  // RetryAfter as the settings have it now; a new value starts the delay from it.
  void Configure(int64_t retry_after) {
    if (retry_after == retry_after_) return;
    retry_after_ = retry_after;
    seconds_ = retry_after;
  }
  void Delivered() { seconds_ = retry_after_; }
  // A retry round has ended; nothing it sent was delivered.
  void NothingDelivered() { seconds_ = std::max(std::min(seconds_ * 2, kLongest), retry_after_); }

 private:
  int64_t retry_after_ = 0;
  int64_t seconds_ = 0;
};

}  // namespace cw
