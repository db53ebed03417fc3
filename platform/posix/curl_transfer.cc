#include "platform/posix/curl_transfer.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/http_request_rules.h"

namespace cw {
namespace {

// The relay waits for an answer a few seconds at most and leaves a slow request running until the
// next message cancels it; these bounds only stop a forgotten request from living forever.
constexpr long kRequestTimeoutSeconds = 60;
constexpr long kConnectTimeoutSeconds = 10;

// libcurl wants one global set-up per process before any handle exists; a function-local static
// does it exactly once, thread-safely, and remembers a failure.
void InitCurlOnce() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw RelayError(std::string("Cannot set up libcurl: ") + curl_easy_strerror(result));
  }
}

struct MultiDeleter {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct EasyDeleter {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

// curl_slist_append copies a C string, so a NUL would silently cut the line short: refuse it.
void Append(HeaderList& list, const std::string& line) {
  if (line.find('\0') != std::string::npos) {
    throw RelayError("Header line contains a NUL byte");
  }
  curl_slist* head = curl_slist_append(list.get(), line.c_str());
  if (head == nullptr) throw RelayError("Out of memory for header lines");
  // On success the old head is part of the new list (usually the same pointer).
  (void)list.release();
  list.reset(head);
}

template <typename Value>
void SetOption(CURL* easy, CURLoption option, Value value) {
  CURLcode result = curl_easy_setopt(easy, option, value);
  if (result != CURLE_OK) {
    throw RelayError(std::string("Cannot set up the request: ") + curl_easy_strerror(result));
  }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
           return lower(x) == lower(y);
         });
}

// The name a header line sets, as libcurl reads it: up to ':' (a value) or ';' (an empty value).
std::string_view HeaderName(std::string_view line) {
  size_t end = line.find_first_of(":;");
  std::string_view name = line.substr(0, end == std::string_view::npos ? line.size() : end);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  return name;
}

bool SetsHeader(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return EqualsIgnoringCase(HeaderName(line), name);
  });
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Checks the URL the way libcurl will read it and returns it with a scheme. Only http and https
// are ever used, whatever libcurl itself could speak.
std::string UsableUrl(const std::string& written, int32_t protocol) {
  const std::string url = UrlWithScheme(written, protocol);
  UrlHandle parsed(curl_url());
  if (parsed == nullptr) throw RelayError("Out of memory for the URL");
  CURLUcode result = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
  if (result != CURLUE_OK) {
    throw RelayError(std::string("The URL cannot be used: ") + curl_url_strerror(result));
  }
  char* scheme_text = nullptr;
  result = curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme_text, 0);
  CurlText scheme(scheme_text);
  if (result != CURLUE_OK || scheme == nullptr) throw RelayError("The URL has no scheme");
  std::string_view name(scheme.get());
  if (name != "http" && name != "https") {
    throw RelayError("The URL's scheme is not http or https: " + std::string(name));
  }
  return url;
}

// One request: everything libcurl points into while it runs lives here. The easy handle comes
// last so that it is cleaned up first, while what it points to still exists.
struct Request {
  HeaderList headers;
  std::string body;
  std::string url;
  std::string method;
  std::string ca_file;
  std::string ca_path;
  std::string kept;
  EasyHandle easy;
};

size_t KeepAnswerStart(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<Request*>(user);
  size_t bytes = size * count;
  size_t room = kKeptAnswerBytes - request->kept.size();
  request->kept.append(data, std::min(bytes, room));
  return bytes;  // Everything counts as taken; anything short of this aborts the transfer.
}

}  // namespace

struct CurlTransfer::Impl {
  explicit Impl(StateCallback callback) : on_state(std::move(callback)) {
    InitCurlOnce();
    multi.reset(curl_multi_init());
    if (multi == nullptr) throw RelayError("Cannot set up libcurl's multi handle");
  }
  ~Impl() { Abandon(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // The easy handle must leave the multi handle before it is cleaned up.
  void Abandon() noexcept {
    if (running == nullptr) return;
    curl_multi_remove_handle(multi.get(), running->easy.get());
    running.reset();
  }

  std::unique_ptr<Request> Prepare(const std::string& url, const std::string& operation,
                                   const std::string& data, const std::string& headers) const;

  StateCallback on_state;
  MultiHandle multi;
  std::unique_ptr<Request> running;
  int32_t protocol = 0;  // As created: neither 4 nor 5, so a URL without scheme gets http://.
  std::string answer;
  size_t answer_read = 0;
  long response_code = 0;
  std::string error_text;
};

std::unique_ptr<Request> CurlTransfer::Impl::Prepare(const std::string& url,
                                                     const std::string& operation,
                                                     const std::string& data,
                                                     const std::string& headers) const {
  auto request = std::make_unique<Request>();
  request->url = UsableUrl(url, protocol);
  request->method = operation.empty() ? std::string("GET") : operation;
  if (!IsHttpToken(request->method)) throw RelayError("The operation is not an HTTP method");
  std::vector<std::string> lines = SplitHeaderLines(headers);
  for (const std::string& line : lines) Append(request->headers, line);
  // libcurl adds both of these to a POST on its own; send them only when the operator asked.
  if (!SetsHeader(lines, "Content-Type")) Append(request->headers, "Content-Type:");
  if (!SetsHeader(lines, "Expect")) Append(request->headers, "Expect:");

  request->easy.reset(curl_easy_init());
  CURL* easy = request->easy.get();
  if (easy == nullptr) throw RelayError("Cannot set up the request");
  SetOption(easy, CURLOPT_URL, request->url.c_str());
  SetOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  SetOption(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // A connection of its own for every request: on a reused connection that closes without an
  // answer libcurl sends the request again by itself, which posts a message the server may
  // already have taken a second time. A failed message is never sent again.
  SetOption(easy, CURLOPT_FRESH_CONNECT, 1L);
  SetOption(easy, CURLOPT_FORBID_REUSE, 1L);
  SetOption(easy, CURLOPT_NOSIGNAL, 1L);
  SetOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  SetOption(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // libcurl built on OpenSSL uses its compiled-in bundle and ignores these variables (only the
  // curl tool reads them), yet they are the usual way to trust a private CA. OpenSSL's own
  // SSL_CERT_FILE wins: the curl tool's CURL_CA_BUNDLE is often preset to the system bundle.
  request->ca_file = EnvironmentValue("SSL_CERT_FILE");
  if (request->ca_file.empty()) request->ca_file = EnvironmentValue("CURL_CA_BUNDLE");
  if (!request->ca_file.empty()) SetOption(easy, CURLOPT_CAINFO, request->ca_file.c_str());
  request->ca_path = EnvironmentValue("SSL_CERT_DIR");
  if (!request->ca_path.empty()) SetOption(easy, CURLOPT_CAPATH, request->ca_path.c_str());
  SetOption(easy, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
  SetOption(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  SetOption(easy, CURLOPT_HTTPHEADER, request->headers.get());
  SetOption(easy, CURLOPT_WRITEFUNCTION, &KeepAnswerStart);
  SetOption(easy, CURLOPT_WRITEDATA, static_cast<void*>(request.get()));
  SetOption(easy, CURLOPT_PRIVATE, static_cast<void*>(request.get()));

  if (EqualsIgnoringCase(request->method, "GET")) {
    SetOption(easy, CURLOPT_HTTPGET, 1L);
  } else if (EqualsIgnoringCase(request->method, "HEAD")) {
    SetOption(easy, CURLOPT_NOBODY, 1L);
  } else {
    // With the size given libcurl sends the buffer as bytes, NULs included, and does not copy
    // it: the request owns it until the easy handle is gone.
    request->body = data;
    SetOption(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request->body.size()));
    SetOption(easy, CURLOPT_POSTFIELDS, request->body.data());
    if (!EqualsIgnoringCase(request->method, "POST")) {
      SetOption(easy, CURLOPT_CUSTOMREQUEST, request->method.c_str());
    }
  }
  return request;
}

CurlTransfer::CurlTransfer(StateCallback on_state)
    : impl_(std::make_unique<Impl>(std::move(on_state))) {}

CurlTransfer::~CurlTransfer() = default;

void CurlTransfer::SetProtocol(int32_t protocol) {
  if (protocol < 0 || protocol > kHighestProtocol) {
    throw RelayError("Protocol " + std::to_string(protocol) + " is not supported");
  }
  impl_->protocol = protocol;
}

int32_t CurlTransfer::Protocol() const { return impl_->protocol; }

void CurlTransfer::Execute(const std::string& url, const std::string& operation,
                           const std::string& data, const std::string& headers) {
  if (impl_->running != nullptr) throw RelayError("A request is still executing");
  std::unique_ptr<Request> request = impl_->Prepare(url, operation, data, headers);
  CURLMcode result = curl_multi_add_handle(impl_->multi.get(), request->easy.get());
  if (result != CURLM_OK) {
    throw RelayError(std::string("Cannot start the request: ") + curl_multi_strerror(result));
  }
  impl_->running = std::move(request);
  impl_->answer.clear();
  impl_->answer_read = 0;
}

bool CurlTransfer::StillExecuting() const { return impl_->running != nullptr; }

void CurlTransfer::Cancel() { impl_->Abandon(); }

std::string CurlTransfer::GetChunk(int size) {
  if (size <= 0) return std::string();
  size_t count = std::min(static_cast<size_t>(size), impl_->answer.size() - impl_->answer_read);
  std::string chunk = impl_->answer.substr(impl_->answer_read, count);
  impl_->answer_read += count;
  return chunk;
}

long CurlTransfer::ResponseCode() const { return impl_->response_code; }

std::string CurlTransfer::ErrorText() const { return impl_->error_text; }

void CurlTransfer::Wait(curl_waitfd* extra, unsigned extra_count, int timeout_ms) {
  CURLMcode result =
      curl_multi_poll(impl_->multi.get(), extra, extra_count, std::max(timeout_ms, 0), nullptr);
  if (result != CURLM_OK) {
    throw RelayError(std::string("Waiting for the transfer failed: ") +
                     curl_multi_strerror(result));
  }
}

void CurlTransfer::Drive() {
  if (impl_->running == nullptr) return;
  int still_running = 0;
  CURLMcode result = curl_multi_perform(impl_->multi.get(), &still_running);
  if (result != CURLM_OK) {
    throw RelayError(std::string("Running the transfer failed: ") + curl_multi_strerror(result));
  }
  // The message is only valid until the next libcurl call, so read all of them first and put the
  // request away before anyone hears of it: the handler may fetch the answer or start anew.
  std::vector<std::pair<CURL*, CURLcode>> finished;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(impl_->multi.get(), &queued)) {
    if (message->msg == CURLMSG_DONE) {
      finished.emplace_back(message->easy_handle, message->data.result);
    }
  }
  std::vector<int16_t> states;
  for (const auto& [easy, code] : finished) {
    void* owner = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
    if (impl_->running == nullptr || owner != impl_->running.get()) continue;
    if (code == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      impl_->response_code = status;
      impl_->answer = std::move(impl_->running->kept);
      impl_->answer_read = 0;
      states.push_back(kStateResponseCompleted);
    } else {
      impl_->error_text = curl_easy_strerror(code);
      states.push_back(kStateError);
    }
    impl_->Abandon();
  }
  for (int16_t state : states) {
    if (impl_->on_state) impl_->on_state(state);
  }
}

}  // namespace cw
