#include "relay/pause.h"

#include "settings/numeric.h"

namespace cw {

void TimedPause::PauseSeconds(float seconds) {
  if (seconds == 0) return;
  loop_.SetTimerEnabled(TimerId::kSystem, false);
  const int32_t interval =
      seconds > 60 ? 60000 : RoundToInt32(static_cast<double>(seconds) * 1000.0);
  if (interval <= 0) return;
  loop_.SetTimerInterval(TimerId::kSystem, interval);
  ticks_left_ = 1;
  loop_.SetTimerEnabled(TimerId::kSystem, true);
  // The timer is disabled and re-enabled above, so the pause lasts one full interval from here.
  // Ticks and every other event run only inside ProcessPendingEvents, never during the sleep.
  while (ticks_left_ != 0) {
    loop_.ProcessPendingEvents();
    loop_.Sleep(50);
    loop_.ProcessPendingEvents();
  }
}

void TimedPause::Tick() {
  if (ticks_left_ > 0) --ticks_left_;
  if (ticks_left_ <= 0) {
    ticks_left_ = 0;
    loop_.SetTimerEnabled(TimerId::kSystem, false);
  }
}

}  // namespace cw
