#pragma once
// The HTTP transfer control: one POST at a time, started at once and run in the background by the
// event loop while pending events are processed. What became of it is asked of the control.
#include <cstdint>
#include <string>

namespace cw {

// The control's protocol numbers; 0 to 3 name no web protocol and mean HTTP.
enum TransferProtocol : int32_t { kProtocolHttp = 4, kProtocolHttps = 5 };

// What became of the last request started.
struct TransferOutcome {
  enum class State {
    kNone,       // none ended since the last start: it runs, was cancelled, or never started
    kFailed,     // it ended without an answer: reason says why
    kCompleted,  // the server answered: status, and the answer's first kKeptAnswerBytes bytes
  };
  State state = State::kNone;
  long status = 0;
  std::string answer;
  std::string reason;
};

class TransferControl {
 public:
  virtual ~TransferControl() = default;
  // Chooses the scheme of a URL written without one (5 https, any other http). Values outside
  // 0..5 are refused (throws RelayError) and the previous value stays in force.
  virtual void SetProtocol(int32_t protocol) = 0;
  // The longest the following requests may run before they end in an error; 60 s as created.
  // Values below 1 are refused (throws RelayError).
  virtual void SetRequestTimeout(int32_t seconds) = 0;
  // Resets the outcome, then starts a POST and returns at once. data is sent byte for byte;
  // headers holds the configured header lines separated by line ends (see HeaderLines). Throws
  // RelayError when the URL cannot be used or the request cannot be started, or while a request
  // runs; nothing new then runs.
  virtual void Execute(const std::string& url, std::string data, const std::string& headers) = 0;
  virtual bool StillExecuting() const = 0;
  // Abandons the running request; afterwards nothing is executing and its outcome stays none.
  // Harmless when nothing runs.
  virtual void Cancel() = 0;
  virtual const TransferOutcome& Outcome() const = 0;
};

}  // namespace cw
