#pragma once
// The transfer control on libcurl's multi interface. It owns one multi handle and at most one easy
// handle. The event loop's blocking wait is Wait(), which watches libcurl's sockets beside the
// loop's own descriptors and moves the transfer on; a request that has ended is put away there and
// its outcome kept.
#include <curl/curl.h>
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

  bool StillExecuting() const override;
  void Cancel() override;

  // Blocks until one of libcurl's sockets or one of fds is readable, or timeout_ms has passed
  // (libcurl may end it earlier for its own time-outs), then moves the running transfer on.
  // Readiness of fds comes back in their revents. Throws RelayError when libcurl fails.
  void Wait(pollfd* fds, unsigned count, int timeout_ms);

 private:
  void Start(const std::string& url, std::string data,
             const std::vector<HeaderLine>& headers) override;
  void Perform();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw
