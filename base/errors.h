#pragma once
// A failing operation raises an error to its caller instead of returning a code. Every platform
// facility and every core procedure that can fail throws a RelayError (or a standard exception);
// the callers that run "continue on error" catch it per step.
#include <stdexcept>
#include <string>

namespace cw {

class RelayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Something at a path that the relay and the feed never open, read, write, rename or delete: a
// symbolic link (a dangling one too), a file of several names (hard links), a folder, a FIFO, a
// device. Whatever it leads to stays as it is. The text is "<path> is <what it is>".
class RefusedFile : public RelayError {
 public:
  RefusedFile(const std::string& path, const std::string& what_it_is)
      : RelayError(path + " is " + what_it_is) {}
};

// A whole number that does not fit its target type (a 16-bit counter, a 32-bit interval).
class OverflowError : public RelayError {
 public:
  OverflowError() : RelayError("Overflow") {}
};

}  // namespace cw
