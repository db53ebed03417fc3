#include "platform/transfer_base.h"

#include <algorithm>

#include "base/errors.h"

namespace cw {

void TransferBase::Post(HttpPost post) {
  outcome_ = {};
  if (InFlight()) throw RelayError("A request is still executing");
  Start(UrlWithScheme(post.url, post.default_scheme), std::move(post.body),
        HeaderLines(post.headers), post.timeout_seconds);
}

void KeepAnswerStart(std::string& kept, const char* data, size_t size) {
  kept.append(data, std::min(size, kKeptAnswerBytes - kept.size()));
}

}  // namespace cw
