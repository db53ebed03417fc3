#pragma once
// The HTTP transfer control: one POST at a time, started at once and run in the background by
// the event loop. Its state changes (11 error, 12 response completed) reach
// WindowEvents::OnTransferStateChanged on the loop's thread, only while pending events are
// processed.
#include <cstdint>
#include <string>

namespace cw {

// The control's protocol numbers; 0 to 3 name no web protocol and mean HTTP.
enum TransferProtocol : int32_t { kProtocolHttp = 4, kProtocolHttps = 5 };

class TransferControl {
 public:
  static constexpr int16_t kStateError = 11;
  static constexpr int16_t kStateResponseCompleted = 12;

  virtual ~TransferControl() = default;
  // Chooses the scheme of a URL written without one (5 https, any other http). Values outside
  // 0..5 are refused (throws RelayError) and the previous value stays in force.
  virtual void SetProtocol(int32_t protocol) = 0;
  // The longest the following requests may run before they end in an error; 60 s as created.
  // Values below 1 are refused (throws RelayError).
  virtual void SetRequestTimeout(int32_t seconds) = 0;
  // Starts a POST and returns at once. data is sent byte for byte; headers holds the configured
  // header lines separated by line ends (see HeaderLines). Throws RelayError when the URL cannot
  // be used or the request cannot be started, or while a request runs; nothing new then runs.
  virtual void Execute(const std::string& url, const std::string& data,
                       const std::string& headers) = 0;
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
