#include "relay/pause.h"

#include "settings/numeric.h"

namespace cw {

void PauseSeconds(EventLoop& loop, int32_t& pause_ticks, float seconds) {
  if (seconds == 0) return;
  loop.SetTimerEnabled(TimerId::kSystem, false);
  const int32_t interval =
      seconds > 60 ? 60000 : RoundToInt32(static_cast<double>(seconds) * 1000.0);
  if (interval <= 0) return;
  loop.SetTimerInterval(TimerId::kSystem, interval);
  pause_ticks = 1;
  loop.SetTimerEnabled(TimerId::kSystem, true);
  // The timer is disabled and re-enabled above, so the pause lasts one full interval from here.
  // Ticks and every other event run only inside ProcessPendingEvents, never during the sleep.
  while (pause_ticks != 0) {
    loop.ProcessPendingEvents();
    loop.Sleep(50);
    loop.ProcessPendingEvents();
  }
}

void SystemTimerTick(EventLoop& loop, int32_t& pause_ticks) {
  if (pause_ticks > 0) --pause_ticks;
  if (pause_ticks <= 0) {
    pause_ticks = 0;
    loop.SetTimerEnabled(TimerId::kSystem, false);
  }
}

}  // namespace cw
