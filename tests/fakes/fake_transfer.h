#pragma once
// A transfer control whose requests end when the test says: each Execute takes the next scripted
// outcome (a state, an answer, a status, and after how many virtual ms it is reported, or never).
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/transfer_control.h"
#include "tests/fakes/fake_event_loop.h"

namespace cw::testing {

class FakeTransfer : public TransferControl {
 public:
  struct Outcome {
    int16_t state = kStateResponseCompleted;
    std::string answer = "OK";
    long status = 200;
    int64_t after_ms = 100;  // negative: never ends by itself
  };
  struct Request {
    std::string url, data, headers;
    int32_t protocol;
    int32_t request_timeout;
  };

  explicit FakeTransfer(FakeEventLoop& loop) : loop_(loop) {}

  void SetProtocol(int32_t p) override {
    if (p < 0 || p > 5) throw RelayError("protocol refused");
    protocol_ = p;
  }
  void SetRequestTimeout(int32_t seconds) override { request_timeout_ = seconds; }
  void Execute(const std::string& url, const std::string& data,
               const std::string& headers) override {
    if (fail_execute || url.empty()) throw RelayError("cannot start");
    requests.push_back({url, data, headers, protocol_, request_timeout_});
    Outcome outcome = script.empty() ? Outcome{} : script.front();
    if (!script.empty()) script.pop_front();
    executing_ = true;
    answer_.clear();
    const long id = ++serial_;
    if (outcome.after_ms >= 0) {
      loop_.At(loop_.now + outcome.after_ms, [this, id, outcome] {
        if (id != serial_ || !executing_) return;  // cancelled or superseded
        executing_ = false;
        answer_ = outcome.answer.substr(0, 1024);
        if (outcome.state == kStateResponseCompleted) status_ = outcome.status;
        if (loop_.handlers != nullptr) loop_.handlers->OnTransferStateChanged(outcome.state);
      });
    }
  }
  bool StillExecuting() const override { return executing_; }
  void Cancel() override {
    ++cancels;
    executing_ = false;
  }
  std::string GetChunk(int size) override {
    ++fetches;
    std::string part = answer_.substr(0, size);
    answer_.erase(0, part.size());
    return part;
  }
  long ResponseCode() const override { return status_; }
  std::string ErrorText() const override { return "refused"; }

  std::deque<Outcome> script;
  std::vector<Request> requests;
  int cancels = 0;
  int fetches = 0;
  bool fail_execute = false;

 private:
  FakeEventLoop& loop_;
  int32_t protocol_ = 0;
  int32_t request_timeout_ = 0;  // never told
  bool executing_ = false;
  std::string answer_;
  long status_ = 0;
  long serial_ = 0;
};

}  // namespace cw::testing
