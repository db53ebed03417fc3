#pragma once
// The transfer control on WinHTTP in asynchronous mode. WinHTTP calls back on its own threads;
// the callback only queues the event and posts kMsgTransferEvents to the window, and the request
// is driven from the window's thread when that message is processed. So a request ends, and its
// outcome is kept, only while pending events run.
//
// Cancel detaches the request: it is reported as ended at once, its handle is closed, and every
// late event of it is dropped by its id. (Under Wine closing the handle does not abort a request
// in flight; the receive time-out below then ends it in the background.) The request's memory is
// freed when WinHTTP reports its handle closing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/transfer_base.h"
#include "platform/win32/windows_api.h"

namespace cw {

class WinHttpTransfer final : public TransferBase {
 public:
  // window: where the events are posted and whose timer kTimerIdTransfer bounds a request.
  // One transfer control per process. Throws RelayError when WinHTTP cannot be set up.
  explicit WinHttpTransfer(HWND window);
  ~WinHttpTransfer() override;
  WinHttpTransfer(const WinHttpTransfer&) = delete;
  WinHttpTransfer& operator=(const WinHttpTransfer&) = delete;

  bool StillExecuting() const override;
  void Cancel() override;

  // On the window's thread: drives the request with the queued events (kMsgTransferEvents).
  void ProcessEvents();
  // On the window's thread: the request's own time-out (kTimerIdTransfer) ends it as an error.
  void OnRequestTimer();

 private:
  void Start(const std::string& url, std::string data,
             const std::vector<HeaderLine>& headers) override;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw
