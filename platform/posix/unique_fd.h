#pragma once
// Owns one file descriptor and closes it when it goes; moving hands the ownership on.
#include <unistd.h>

#include <utility>

namespace cw {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes fd; the result of close() is returned, for
  // writers whose data is only safe once the close succeeded.
  int Reset(int fd = -1) {
    const int closed = fd_ >= 0 ? close(fd_) : 0;
    fd_ = fd;
    return closed;
  }

 private:
  int fd_ = -1;
};

}  // namespace cw
