#pragma once
// A wait that keeps the window responsive: pending events keep being processed, with 50 ms sleeps
// in between, until the first tick of the system timer ends the pause.
#include <cstdint>

#include "platform/event_loop.h"

namespace cw {

class TimedPause {
 public:
  explicit TimedPause(EventLoop& loop) : loop_(loop) {}

  // A pause longer than 60 s lasts 60 s. A length of 0, a negative one, or one so short that its
  // interval would be 0 ms returns at once (a 0 ms timer would never tick, and a pause must always
  // end). Throws OverflowError when the length has no whole number of milliseconds (NaN).
  void PauseSeconds(float seconds);
  // The system timer's tick: counts the pause down and switches the timer off when none is left,
  // which is also what the first tick after start-up does.
  void Tick();

 private:
  EventLoop& loop_;
  int32_t ticks_left_ = 0;  // of the system timer, before the running pause ends; 0: none runs
};

}  // namespace cw
