#pragma once
#include <cstdint>

#include "platform/event_loop.h"

namespace cw {

// Waits without freezing the window: pending events keep being processed, with 50 ms sleeps in
// between, until the first tick of the system timer ends the pause. A pause longer than 60 s
// lasts 60 s. A length of 0, a negative one, or one so short that its interval would be 0 ms
// returns at once (a 0 ms timer would never tick, and the pause must always end). Throws
// OverflowError when the length has no whole number of milliseconds (NaN).
void PauseSeconds(EventLoop& loop, int32_t& pause_ticks, float seconds);

// The system timer's tick: counts the running pause down and switches the timer off when no pause
// is left, which is also what the first tick after start-up does.
void SystemTimerTick(EventLoop& loop, int32_t& pause_ticks);

}  // namespace cw
