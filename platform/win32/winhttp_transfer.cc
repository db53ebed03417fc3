#include "platform/win32/winhttp_transfer.h"

#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "base/errors.h"
#include "platform/win32/win32_messages.h"

namespace cw {
namespace {

// WinHTTP's own short text for its error, where the system has it, with the number.
std::string WinHttpErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleA("winhttp.dll"), error, 0, text, sizeof text, nullptr);
  std::string reason(text, length);
  reason.erase(reason.find_last_not_of("\r\n.") + 1);  // npos + 1: all of it
  const std::string code = "error " + std::to_string(error);
  return reason.empty() ? code : reason + " (" + code + ")";
}

// The answer is read in blocks of this size; only its first kKeptAnswerBytes are kept.
constexpr size_t kReadBufferBytes = 16384;
// Only stops a connection attempt to an unreachable host from using up the whole wait.
constexpr int kConnectTimeoutMs = 10000;

// What a WinHTTP thread hands to the window's thread.
struct Event {
  uint64_t id;  // the request's id, its WinHTTP context value
  DWORD status;
  DWORD length;  // bytes read, for READ_COMPLETE
  DWORD error;   // for REQUEST_ERROR
};

// Never destroyed: a WinHTTP thread may still call back while the process ends.
class Mailbox {
 public:
  void SetTarget(HWND target) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = target;
  }
  void Push(const Event& event) {
    HWND target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
      target = target_;
    }
    if (target != nullptr) PostMessageA(target, kMsgTransferEvents, 0, 0);
  }
  std::deque<Event> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::deque<Event> events_;
  HWND target_ = nullptr;
};

Mailbox& TheMailbox() {
  static Mailbox* mailbox = new Mailbox;
  return *mailbox;
}

// On a WinHTTP thread: copy what the event carries and leave at once. Only the id is read from
// the context, never the request, which the window's thread owns.
void CALLBACK StatusCallback(HINTERNET /*handle*/, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
  if (context == 0) return;  // the connection handle and anything before the id was set
  Event event{static_cast<uint64_t>(context), status, 0, 0};
  if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) event.length = length;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info != nullptr) {
    event.error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
  }
  TheMailbox().Push(event);
}

// Text is bytes in the ANSI code page; WinHTTP takes UTF-16 and turns it back with that page.
std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) throw RelayError("Text cannot be converted");
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

struct Request {
  uint64_t id = 0;
  HINTERNET connect = nullptr;
  HINTERNET handle = nullptr;
  std::string body;  // WinHTTP reads it until the send completes
  std::string kept;
  DWORD status = 0;
  char buffer[kReadBufferBytes];
};

// Where a URL leads, as WinHTTP takes it.
struct Target {
  std::wstring host;
  INTERNET_PORT port;
  std::wstring object;  // the path and the query
  bool secure;
};

Target CrackUrl(const std::string& url) {
  const std::wstring wide_url = Widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), 0, &parts)) {
    throw RelayError("The URL cannot be used: error " + std::to_string(GetLastError()));
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    throw RelayError("The URL's scheme is not http or https");
  }
  Target target{std::wstring(parts.lpszHostName, parts.dwHostNameLength), parts.nPort,
                std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength),
                parts.nScheme == INTERNET_SCHEME_HTTPS};
  if (target.host.empty()) throw RelayError("The URL names no host");
  target.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.object.empty()) target.object = L"/";
  return target;
}

// Closes the started request's handle, whose closing WinHTTP then reports, which frees the
// request, and throws with the error of the call that failed.
[[noreturn]] void FailStarted(Request& started, const char* what) {
  const DWORD error = GetLastError();
  WinHttpCloseHandle(started.handle);
  started.handle = nullptr;
  throw RelayError(std::string(what) + ": error " + std::to_string(error));
}

void SetUpStarted(Request& started, int timeout_ms, const std::vector<std::wstring>& lines) {
  DWORD_PTR context = static_cast<DWORD_PTR>(started.id);
  // A redirect is an answer like any other; cookies are not kept between messages; and, as on
  // Linux, every request has a connection of its own: a reused one that closes without an
  // answer would make WinHTTP send the message again by itself.
  DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_KEEP_ALIVE;
  if (!WinHttpSetOption(started.handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
      !WinHttpSetOption(started.handle, WINHTTP_OPTION_DISABLE_FEATURE, &features,
                        sizeof features)) {
    FailStarted(started, "Cannot set up the request");
  }
  WinHttpSetTimeouts(started.handle, kConnectTimeoutMs, kConnectTimeoutMs, timeout_ms, timeout_ms);
  // Bounds the wait for the answer's head; under Wine this is also what ends an abandoned request.
  DWORD response_timeout = static_cast<DWORD>(timeout_ms);
  WinHttpSetOption(started.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout,
                   sizeof response_timeout);
  for (const std::wstring& line : lines) {
    if (!WinHttpAddRequestHeaders(started.handle, line.c_str(), static_cast<DWORD>(line.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD)) {
      FailStarted(started, "The header line cannot be used");
    }
  }
}

void Send(Request& started, std::string body) {
  started.body = std::move(body);
  const DWORD size = static_cast<DWORD>(started.body.size());
  void* data = size == 0 ? WINHTTP_NO_REQUEST_DATA : started.body.data();
  if (!WinHttpSendRequest(started.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, size, size,
                          static_cast<DWORD_PTR>(started.id))) {
    FailStarted(started, "Cannot start the request");
  }
}

}  // namespace

struct WinHttpTransfer::Impl {
  explicit Impl(WinHttpTransfer& owner) : owner(owner) {}
  WinHttpTransfer& owner;
  HINTERNET session = nullptr;
  // Every request whose handle WinHTTP has not yet reported closed, by id.
  std::map<uint64_t, std::unique_ptr<Request>> requests;
  uint64_t next_id = 1;
  uint64_t current = 0;            // the request in flight; 0 when none
  std::unique_ptr<Timer> timeout;  // ends the request in flight when it runs out

  Request* Current() {
    auto it = requests.find(current);
    return it == requests.end() ? nullptr : it->second.get();
  }
  // Ends the request in flight without a notification; its late events are dropped.
  void Detach() {
    if (current == 0) return;
    if (Request* request = Current(); request != nullptr && request->handle != nullptr) {
      WinHttpCloseHandle(request->handle);
      request->handle = nullptr;
    }
    current = 0;
    timeout->Stop();
  }
  // The request ended: with the server's answer, or with WinHTTP's error.
  void Finish(bool answered, DWORD error = 0) {
    Request* request = Current();
    if (answered && request != nullptr) {
      owner.Answered(static_cast<long>(request->status), std::move(request->kept));
    } else {
      owner.Failed(WinHttpErrorText(error));
    }
    Detach();
  }
  // Opens a request to target; from then on WinHTTP reports its handle's closing, which frees it.
  Request& Open(const Target& target);
  void ReadNext(Request& request) {
    if (!WinHttpReadData(request.handle, request.buffer, sizeof request.buffer, nullptr)) {
      Finish(false, GetLastError());
    }
  }
  void Handle(const Event& event);
};

Request& WinHttpTransfer::Impl::Open(const Target& target) {
  auto request = std::make_unique<Request>();
  request->id = next_id++;
  request->connect = WinHttpConnect(session, target.host.c_str(), target.port, 0);
  if (request->connect == nullptr) {
    throw RelayError("Cannot connect: error " + std::to_string(GetLastError()));
  }
  request->handle = WinHttpOpenRequest(request->connect, L"POST", target.object.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       target.secure ? WINHTTP_FLAG_SECURE : 0);
  if (request->handle == nullptr) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(request->connect);
    throw RelayError("Cannot open the request: error " + std::to_string(error));
  }
  Request& opened = *request;
  requests[opened.id] = std::move(request);
  return opened;
}

void WinHttpTransfer::Impl::Handle(const Event& event) {
  auto it = requests.find(event.id);
  if (it == requests.end()) return;
  Request& request = *it->second;
  if (event.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    if (request.connect != nullptr) WinHttpCloseHandle(request.connect);
    requests.erase(it);
    return;
  }
  if (event.id != current || request.handle == nullptr) return;  // abandoned or timed out
  switch (event.status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttpReceiveResponse(request.handle, nullptr)) Finish(false, GetLastError());
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
      DWORD code = 0;
      DWORD size = sizeof code;
      if (WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                              WINHTTP_NO_HEADER_INDEX)) {
        request.status = code;
      }
      ReadNext(request);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      if (event.length == 0) {
        Finish(true);
      } else {
        KeepAnswerStart(request.kept, request.buffer, event.length);
        ReadNext(request);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      Finish(false, event.error);
      break;
  }
}

WinHttpTransfer::WinHttpTransfer(HWND window, EventLoop& loop)
    : impl_(std::make_unique<Impl>(*this)) {
  impl_->timeout = loop.AddTimer(std::chrono::milliseconds(0), [this] {
    if (impl_->current != 0) impl_->Finish(false, ERROR_WINHTTP_TIMEOUT);
  });  // 0 ms: it never ticks until a request restarts it with its time-out
  // No agent name: the request carries only the headers the operator configured and the ones
  // HTTP itself needs (Host, Content-Length, Connection).
  impl_->session = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (impl_->session == nullptr) throw RelayError("Cannot set up WinHTTP");
  // Only the events that Handle() acts on (a handle's creation comes before its id is set).
  const DWORD events = WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE |
                       WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE |
                       WINHTTP_CALLBACK_FLAG_READ_COMPLETE | WINHTTP_CALLBACK_FLAG_REQUEST_ERROR |
                       WINHTTP_CALLBACK_FLAG_HANDLES;
  if (WinHttpSetStatusCallback(impl_->session, &StatusCallback, events, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    WinHttpCloseHandle(impl_->session);
    throw RelayError("Cannot set up WinHTTP's callback");
  }
  TheMailbox().SetTarget(window);
}

WinHttpTransfer::~WinHttpTransfer() {
  impl_->Detach();
  TheMailbox().SetTarget(nullptr);
  // Requests still open keep their memory: WinHTTP may yet write into their buffers.
  for (auto& [id, request] : impl_->requests) {
    if (request->handle != nullptr) WinHttpCloseHandle(request->handle);
    (void)request.release();
  }
  WinHttpCloseHandle(impl_->session);
}

void WinHttpTransfer::Start(const std::string& url, std::string body,
                            const std::vector<HeaderLine>& headers, int32_t timeout_seconds) {
  const Target target = CrackUrl(url);
  std::vector<std::wstring> lines;
  for (const HeaderLine& line : headers) lines.push_back(Widen(line.text));
  Request& started = impl_->Open(target);
  const int timeout_ms =
      static_cast<int>(std::min<int64_t>(int64_t{timeout_seconds} * 1000, INT32_MAX));
  SetUpStarted(started, timeout_ms, lines);
  Send(started, std::move(body));
  impl_->current = started.id;
  impl_->timeout->Restart(std::chrono::milliseconds(timeout_ms));
}

bool WinHttpTransfer::InFlight() const { return impl_->current != 0; }

void WinHttpTransfer::Abandon() { impl_->Detach(); }

void WinHttpTransfer::ProcessEvents() {
  for (const Event& event : TheMailbox().Take()) impl_->Handle(event);
}

}  // namespace cw
