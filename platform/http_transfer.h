#pragma once
// The HTTP transfer: one POST at a time, started at once and carried on in the background by the
// event loop while it runs. What became of it is asked of the transfer.
#include <cstdint>
#include <string>

namespace cw {

// The scheme a URL written without one gets.
enum class DefaultScheme { kHttp, kHttps };

// One POST.
struct HttpPost {
  std::string url;  // as written; without "://" it gets default_scheme
  DefaultScheme default_scheme;
  std::string body;         // sent byte for byte
  std::string headers;      // the configured header lines, separated by line ends
  int32_t timeout_seconds;  // the longest it may run before it ends in an error; at least 1
};

// What became of the last POST started.
struct HttpOutcome {
  enum class State {
    kNone,      // none ended since the last start: it runs, was abandoned, or never started
    kFailed,    // it ended without an answer: reason says why
    kAnswered,  // the server answered: status, and the answer's first kKeptAnswerBytes bytes
  };
  State state = State::kNone;
  long status = 0;
  std::string answer;
  std::string reason;
};

class HttpTransfer {
 public:
  virtual ~HttpTransfer() = default;
  // Resets the outcome, then starts the POST and returns at once; the header lines sent are
  // HeaderLines(post.headers). Throws RelayError when the URL cannot be used or the POST cannot
  // be started, or while one is in flight; nothing new is then in flight.
  virtual void Post(HttpPost post) = 0;
  virtual bool InFlight() const = 0;
  // Gives up the POST in flight: afterwards none is, and its outcome stays none. Harmless when
  // none is in flight.
  virtual void Abandon() = 0;
  virtual const HttpOutcome& Outcome() const = 0;
};

}  // namespace cw
