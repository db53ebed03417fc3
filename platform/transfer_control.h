#pragma once
// The HTTP transfer control: one request at a time, started at once and run in the background by
// the event loop. Its state changes (11 error, 12 response completed) reach
// WindowEvents::OnTransferStateChanged on the loop's thread, only while pending events are
// processed.
#include <cstdint>
#include <string>

namespace cw {

class TransferControl {
 public:
  static constexpr int16_t kStateError = 11;
  static constexpr int16_t kStateResponseCompleted = 12;

  virtual ~TransferControl() = default;
  // 4 selects HTTP and 5 HTTPS for a URL written without a scheme. Values outside 0..5 are refused
  // (throws RelayError) and the previous value stays in force.
  virtual void SetProtocol(int32_t protocol) = 0;
  virtual int32_t Protocol() const = 0;
  // Starts the request and returns at once. data is sent byte for byte; headers holds header lines
  // separated by line ends, each sent as written. Throws RelayError when the URL cannot be used or
  // the request cannot be started; nothing is then executing. Starting while a request runs throws.
  virtual void Execute(const std::string& url, const std::string& operation,
                       const std::string& data, const std::string& headers) = 0;
  virtual bool StillExecuting() const = 0;
  // Abandons the running request; afterwards nothing is executing and no notification of that
  // request arrives. Harmless when nothing runs.
  virtual void Cancel() = 0;
  // The next at most size bytes of the completed request's answer (only the first 1024 are kept).
  virtual std::string GetChunk(int size) = 0;
  // HTTP status of the last request that completed (state 12); 0 when none completed.
  virtual long ResponseCode() const = 0;
  // The library's own short text for why the last request that ended in state 11 failed.
  virtual std::string ErrorText() const = 0;
};

}  // namespace cw
