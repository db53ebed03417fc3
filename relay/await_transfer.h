#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/transfer_control.h"

namespace cw {

// Waits up to `seconds` whole seconds, in one-second pauses, for the transfer control to finish,
// then returns the first 1024 bytes of the answer when transfer_state is 12, or empty. With
// cancel_first, a running request is cancelled before the wait and nothing at all happens when
// none runs. The outcome is read from transfer_state, which the control's notifications change
// while pause_one_second processes pending events. Failures of the control or of the pause are
// thrown to the caller.
std::string AwaitTransfer(TransferControl& inet, const int16_t& transfer_state,
                          const std::function<void()>& pause_one_second, int16_t seconds,
                          bool cancel_first);

}  // namespace cw
