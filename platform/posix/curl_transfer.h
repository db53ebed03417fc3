#pragma once
// The HTTP transfer on libcurl's multi interface. It owns one multi handle and at most one easy
// handle. The event loop's blocking wait is Wait(), which watches libcurl's sockets beside the
// loop's own descriptors and moves the POST on; one that has ended is put away there and its
// outcome kept.
#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/transfer_base.h"

namespace cw {

class CurlTransfer final : public TransferBase {
 public:
  // Throws RelayError when libcurl cannot be set up.
  CurlTransfer();
  ~CurlTransfer() override;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  bool InFlight() const override;
  void Abandon() override;

  // Blocks until one of libcurl's sockets or one of fds is readable, or timeout_ms has passed
  // (libcurl may end it earlier for its own time-outs), then moves the running transfer on.
  // Readiness of fds comes back in their revents. Throws RelayError when libcurl fails.
  void Wait(pollfd* fds, unsigned count, int timeout_ms);

 private:
  void Start(const std::string& url, std::string body, const std::vector<HeaderLine>& headers,
             int32_t timeout_seconds) override;
  void Perform();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw
