#pragma once
// What every transfer control does alike, whatever library carries the request: the protocol
// number, the request time-out, the URL's scheme, which configured lines are headers, and the
// outcome. A control adds only its library's calls.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/transfer_control.h"
#include "platform/transfer_rules.h"

namespace cw {

class TransferBase : public TransferControl {
 public:
  void SetProtocol(int32_t protocol) final;
  void SetRequestTimeout(int32_t seconds) final;
  void Execute(const std::string& url, std::string data, const std::string& headers) final;
  const TransferOutcome& Outcome() const final { return outcome_; }

 protected:
  // Starts the request on the library: url carries its scheme, headers are the lines to send.
  // Throws RelayError when it cannot be started, leaving nothing running.
  virtual void Start(const std::string& url, std::string data,
                     const std::vector<HeaderLine>& headers) = 0;
  int32_t request_timeout_seconds() const { return request_timeout_seconds_; }
  // The request ended with the server's answer: its status and the answer's kept start.
  void Completed(long status, std::string kept) {
    outcome_ = {TransferOutcome::State::kCompleted, status, std::move(kept), {}};
  }
  // The request ended in an error: reason is the library's own text for it.
  void Failed(std::string reason) {
    outcome_ = {TransferOutcome::State::kFailed, 0, {}, std::move(reason)};
  }

 private:
  int32_t protocol_ = 0;  // as created: neither 4 nor 5, so a URL without scheme gets http://
  int32_t request_timeout_seconds_ = RequestTimeoutSeconds(0);
  TransferOutcome outcome_;
};

// Appends to kept what still fits of received bytes into the answer's first kKeptAnswerBytes.
void KeepAnswerStart(std::string& kept, const char* data, size_t size);

}  // namespace cw
