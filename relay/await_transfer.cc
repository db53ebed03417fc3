#include "relay/await_transfer.h"

namespace cw {
namespace {

bool IsTerminal(int16_t state) {
  return state == TransferControl::kStateError || state == TransferControl::kStateResponseCompleted;
}

}  // namespace

std::string AwaitTransfer(TransferControl& inet, const int16_t& transfer_state,
                          const std::function<void()>& pause_one_second, int16_t seconds,
                          bool cancel_first) {
  if (cancel_first) {
    if (!inet.StillExecuting()) return {};
    inet.Cancel();
  }
  for (int16_t countdown = seconds; countdown > 0; --countdown) {
    const bool executing = inet.StillExecuting();
    if (!executing && IsTerminal(transfer_state)) break;
    pause_one_second();
  }
  // A completion reported during the last pause is fetched even if the control has not yet
  // stopped executing.
  if (transfer_state == TransferControl::kStateResponseCompleted) return inet.GetChunk(1024);
  return {};
}

}  // namespace cw
