#pragma once
// The transfer control on libcurl's multi interface. It owns one multi handle and at most one easy
// handle. The event loop makes libcurl's sockets part of its blocking wait through Wait() and
// drives transfers from ProcessPendingEvents through Drive(); finished requests are reported
// through the state callback from Drive() only, so never from inside a libcurl callback.
#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/transfer_control.h"

namespace cw {

class CurlTransfer final : public TransferControl {
 public:
  using StateCallback = std::function<void(int16_t state)>;
  // Throws RelayError when libcurl cannot be set up.
  explicit CurlTransfer(StateCallback on_state);
  ~CurlTransfer() override;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  void SetProtocol(int32_t protocol) override;
  int32_t Protocol() const override;
  void Execute(const std::string& url, const std::string& operation, const std::string& data,
               const std::string& headers) override;
  bool StillExecuting() const override;
  void Cancel() override;
  std::string GetChunk(int size) override;
  long ResponseCode() const override;
  std::string ErrorText() const override;

  // Blocks until one of libcurl's sockets or one of the extra descriptors is ready, or timeout_ms
  // has passed (libcurl may end it earlier for its own time-outs). Readiness of the extra
  // descriptors comes back in extra[i].revents.
  void Wait(curl_waitfd* extra, unsigned extra_count, int timeout_ms);
  // Never blocks: advances the running transfer and reports a finished one through on_state
  // (11 error, 12 response completed). on_state runs after the request has been put away, so it
  // may read the answer or start the next request.
  void Drive();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw
