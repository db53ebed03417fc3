#include "relay/await_transfer.h"

namespace cw {

TransferOutcome AwaitTransfer(TransferControl& transfer, TimedPause& pause, int16_t seconds,
                              bool cancel_first) {
  if (cancel_first) {
    if (!transfer.StillExecuting()) return {};
    transfer.Cancel();
  }
  for (int16_t countdown = seconds; countdown > 0; --countdown) {
    if (!transfer.StillExecuting() && transfer.Outcome().state != TransferOutcome::State::kNone)
      break;
    pause.PauseSeconds(1);
  }
  return transfer.Outcome();
}

}  // namespace cw
