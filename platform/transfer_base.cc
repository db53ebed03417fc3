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

void TransferBase::Execute(const std::string& url, const std::string& data,
                           const std::string& headers) {
  if (StillExecuting()) throw RelayError("A request is still executing");
  const std::string full_url = UrlWithScheme(url, protocol_);
  const std::vector<HeaderLine> lines = HeaderLines(headers);
  answer_.clear();
  answer_read_ = 0;
  Start(full_url, data, lines);
}

std::string TransferBase::GetChunk(int size) {
  if (size <= 0) return std::string();
  const size_t count = std::min(static_cast<size_t>(size), answer_.size() - answer_read_);
  std::string chunk = answer_.substr(answer_read_, count);
  answer_read_ += count;
  return chunk;
}

long TransferBase::ResponseCode() const { return response_code_; }

void TransferBase::Completed(long status, std::string kept) {
  response_code_ = status;
  answer_ = std::move(kept);
  answer_read_ = 0;
}

std::string TransferBase::ErrorText() const { return error_text_; }

void TransferBase::Failed(std::string reason) { error_text_ = std::move(reason); }

void KeepAnswerStart(std::string& kept, const char* data, size_t size) {
  kept.append(data, std::min(size, kKeptAnswerBytes - kept.size()));
}

}  // namespace cw
