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

// A whole number that does not fit its target type (a 16-bit counter, a 32-bit interval).
class OverflowError : public RelayError {
 public:
  OverflowError() : RelayError("Overflow") {}
};

}  // namespace cw
