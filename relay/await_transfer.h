#pragma once
#include <cstdint>

#include "platform/transfer_control.h"
#include "relay/pause.h"

namespace cw {

// Waits up to `seconds` whole seconds, in one-second pauses, for the running request to end, and
// hands back what became of it. With cancel_first, a running request is cancelled before the
// wait, and nothing at all happens when none runs. The wait ends early only on an outcome: a
// request that was cancelled, or never started, waits out the whole time. Failures of the
// control or of the pause are thrown to the caller.
TransferOutcome AwaitTransfer(TransferControl& transfer, TimedPause& pause, int16_t seconds,
                              bool cancel_first);

}  // namespace cw
