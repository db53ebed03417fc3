#pragma once
// The wait for the answer to a message's POST, in whole seconds of the event loop: it looks once
// a second, so a message takes whole seconds, and the window stays responsive meanwhile.
#include <cstdint>

#include "platform/event_loop.h"
#include "platform/http_transfer.h"

namespace cw {

// Gives up a POST still in flight from the message before (no answer came within its wait), and
// then lets `seconds` whole seconds pass; nothing at all happens when none is in flight. Errors
// of the transfer or of the loop's handlers are thrown to the caller.
void AbandonAnyPost(HttpTransfer& http, EventLoop& loop, int16_t seconds);

// Waits up to `seconds` whole seconds for the POST in flight to end, and hands back what became
// of it. The wait ends early only on an outcome: a POST that was abandoned, or never started,
// waits out the whole time. Errors of the transfer or of the loop's handlers are thrown to the
// caller.
HttpOutcome AwaitAnswer(HttpTransfer& http, EventLoop& loop, int16_t seconds);

}  // namespace cw
