#pragma once
// The HTTP transfer on WinHTTP in asynchronous mode. WinHTTP calls back on its own threads; the
// callback only queues the event and posts kMsgTransferEvents to the window, and the request is
// driven from the window's thread when the event loop runs that signal. So a request ends, and its
// outcome is kept, only while the loop runs.
//
// Abandon detaches the request: it is reported as ended at once, its handle is closed, and every
// late event of it is dropped by its id. (Under Wine closing the handle does not abort a request
// in flight; the receive time-out below then ends it in the background.) The request's memory is
// freed when WinHTTP reports its handle closing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/transfer_base.h"
#include "platform/win32/windows_api.h"

namespace cw {

class WinHttpTransfer final : public TransferBase {
 public:
  // window: where the events are posted; a timer of loop bounds each request. One transfer per
  // process. Throws RelayError when WinHTTP cannot be set up.
  WinHttpTransfer(HWND window, EventLoop& loop);
  ~WinHttpTransfer() override;
  WinHttpTransfer(const WinHttpTransfer&) = delete;
  WinHttpTransfer& operator=(const WinHttpTransfer&) = delete;

  bool InFlight() const override;
  void Abandon() override;

  // On the window's thread: drives the request with the queued events (kMsgTransferEvents).
  void ProcessEvents();

 private:
  void Start(const std::string& url, std::string body, const std::vector<HeaderLine>& headers,
             int32_t timeout_seconds) override;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw
