#pragma once
// The transfer control on libcurl's multi interface. It owns one multi handle and at most one easy
// handle. The event loop makes libcurl's sockets part of its blocking wait through Wait(), moves
// transfers on through Perform(), and reports ended requests through Report(), so the state
// callback never runs from inside a libcurl callback.
#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/transfer_base.h"

namespace cw {

class CurlTransfer final : public TransferBase {
 public:
  using StateCallback = std::function<void(int16_t state)>;
  // Throws RelayError when libcurl cannot be set up.
  explicit CurlTransfer(StateCallback on_state);
  ~CurlTransfer() override;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  bool StillExecuting() const override;
  void Cancel() override;

  // Blocks until one of libcurl's sockets or one of the extra descriptors is ready, or timeout_ms
  // has passed (libcurl may end it earlier for its own time-outs). Readiness of the extra
  // descriptors comes back in extra[i].revents. Throws RelayError when libcurl fails.
  void Wait(curl_waitfd* extra, unsigned extra_count, int timeout_ms);
  // Never blocks: moves the running transfer on. A request that has ended stays executing until
  // Report() tells of it. Throws RelayError when libcurl fails.
  void Perform();
  // Reports an ended request through on_state (11 error, 12 response completed), after it has
  // been put away, so on_state may read the answer or start the next request.
  void Report();

 private:
  void Start(const std::string& url, const std::string& data,
             const std::vector<HeaderLine>& headers) override;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Blocks as CurlTransfer::Wait does, on the given descriptors alone (at most eight): until one
// is ready (its revents set to CURL_WAIT_POLLIN) or timeout_ms has passed.
void PollDescriptors(curl_waitfd* fds, unsigned count, int timeout_ms);

}  // namespace cw
