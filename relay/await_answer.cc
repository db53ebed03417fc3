#include "relay/await_answer.h"

#include <chrono>

namespace cw {

void AbandonAnyPost(HttpTransfer& http, EventLoop& loop, int16_t seconds) {
  if (!http.InFlight()) return;
  http.Abandon();
  AwaitAnswer(http, loop, seconds);  // no outcome comes: the whole time passes
}

HttpOutcome AwaitAnswer(HttpTransfer& http, EventLoop& loop, int16_t seconds) {
  for (int16_t left = seconds; left > 0; --left) {
    if (!http.InFlight() && http.Outcome().state != HttpOutcome::State::kNone) break;
    loop.RunFor(std::chrono::seconds(1));
  }
  return http.Outcome();
}

}  // namespace cw
