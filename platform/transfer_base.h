#pragma once
// What every HTTP transfer does alike, whatever library carries the POST: the URL's scheme, which
// configured lines are headers, and the outcome. A transfer adds only its library's calls.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/http_transfer.h"
#include "platform/transfer_rules.h"

namespace cw {

class TransferBase : public HttpTransfer {
 public:
  void Post(HttpPost post) final;
  const HttpOutcome& Outcome() const final { return outcome_; }

 protected:
  // Starts the POST on the library: url carries its scheme, headers are the lines to send.
  // Throws RelayError when it cannot be started, leaving nothing in flight.
  virtual void Start(const std::string& url, std::string body,
                     const std::vector<HeaderLine>& headers, int32_t timeout_seconds) = 0;
  // The POST ended with the server's answer: its status and the answer's kept start.
  void Answered(long status, std::string kept) {
    outcome_ = {HttpOutcome::State::kAnswered, status, std::move(kept), {}};
  }
  // The POST ended in an error: reason is the library's own text for it.
  void Failed(std::string reason) {
    outcome_ = {HttpOutcome::State::kFailed, 0, {}, std::move(reason)};
  }

 private:
  HttpOutcome outcome_;
};

// Appends to kept what still fits of received bytes into the answer's first kKeptAnswerBytes.
void KeepAnswerStart(std::string& kept, const char* data, size_t size);

}  // namespace cw
