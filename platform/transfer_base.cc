#include "platform/transfer_base.h"

#include <algorithm>

#include "base/errors.h"

namespace cw {

void TransferBase::SetProtocol(int32_t protocol) {
  if (protocol < 0 || protocol > kProtocolHttps) {
    throw RelayError("Protocol " + std::to_string(protocol) + " is not supported");
  }
  protocol_ = protocol;
}

void TransferBase::SetRequestTimeout(int32_t seconds) {
  if (seconds < 1) throw RelayError("The request time-out must be at least one second");
  request_timeout_seconds_ = seconds;
}

void TransferBase::Execute(const std::string& url, std::string data, const std::string& headers) {
  outcome_ = {};
  if (StillExecuting()) throw RelayError("A request is still executing");
  Start(UrlWithScheme(url, protocol_), std::move(data), HeaderLines(headers));
}

void KeepAnswerStart(std::string& kept, const char* data, size_t size) {
  kept.append(data, std::min(size, kKeptAnswerBytes - kept.size()));
}

}  // namespace cw
