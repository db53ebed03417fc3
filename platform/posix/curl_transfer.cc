#include "platform/posix/curl_transfer.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
namespace {

// Only stops a connection attempt to an unreachable host from using up the whole wait.
constexpr long kConnectTimeoutSeconds = 10;

// libcurl wants one global set-up per process before any handle exists; a function-local static
// does it exactly once, thread-safely, and remembers a failure.
void InitCurlOnce() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw RelayError(std::string("Cannot set up libcurl: ") + curl_easy_strerror(result));
  }
}

// Gives what libcurl handed out back with release, for a unique_ptr that owns it.
template <auto release>
struct Release {
  void operator()(auto* owned) const noexcept { release(owned); }
};
using MultiHandle = std::unique_ptr<CURLM, Release<curl_multi_cleanup>>;
using EasyHandle = std::unique_ptr<CURL, Release<curl_easy_cleanup>>;
using HeaderList = std::unique_ptr<curl_slist, Release<curl_slist_free_all>>;
using UrlHandle = std::unique_ptr<CURLU, Release<curl_url_cleanup>>;
using CurlText = std::unique_ptr<char, Release<curl_free>>;

// The header rule hands over no NUL, so the C string is the whole line.
void Append(HeaderList& list, const std::string& line) {
  curl_slist* head = curl_slist_append(list.get(), line.c_str());
  if (head == nullptr) throw RelayError("Out of memory for header lines");
  // On success the old head is part of the new list (usually the same pointer).
  (void)list.release();
  list.reset(head);
}

// Throws RelayError, saying what failed and libcurl's reason, when a multi interface call failed.
void CheckMulti(CURLMcode result, const char* what) {
  if (result != CURLM_OK) throw RelayError(std::string(what) + ": " + curl_multi_strerror(result));
}

template <typename Value>
void SetOption(CURL* easy, CURLoption option, Value value) {
  CURLcode result = curl_easy_setopt(easy, option, value);
  if (result != CURLE_OK) {
    throw RelayError(std::string("Cannot set up the request: ") + curl_easy_strerror(result));
  }
}

// libcurl's own rules for custom headers: "Name:" alone removes the header, "Name;" sends it
// empty. The configured lines are mapped onto them, and the headers libcurl would add to a POST
// by itself are removed unless the operator configured them.
HeaderList CurlHeaders(const std::vector<HeaderLine>& lines) {
  HeaderList list;
  for (const HeaderLine& line : lines) Append(list, line.empty_value ? line.name + ";" : line.text);
  for (const char* own : {"Accept", "Content-Type", "Expect"}) {
    if (std::none_of(lines.begin(), lines.end(), [own](const HeaderLine& line) {
          return EqualsIgnoringCase(line.name, own);
        })) {
      Append(list, std::string(own) + ":");
    }
  }
  return list;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Refuses a URL that libcurl cannot read, or one of a scheme other than http and https, whatever
// libcurl itself could speak.
void CheckUrl(const std::string& url) {
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
}

// One request: everything libcurl points into while it runs lives here (it copies the strings
// of other options). The easy handle comes last so that it is cleaned up first, while what it
// points to still exists.
struct Request {
  HeaderList headers;
  std::string body;
  std::string kept;
  // libcurl's detailed reason for a failure, as the curl tool shows it ("SSL certificate
  // problem: ..."), where the error code's own text would only say "SSL peer certificate ...".
  char error[CURL_ERROR_SIZE] = {};
  EasyHandle easy;
};

size_t KeepAnswer(char* data, size_t size, size_t count, void* user) {
  KeepAnswerStart(static_cast<Request*>(user)->kept, data, size * count);
  return size * count;  // Everything counts as taken; anything short of this aborts the transfer.
}

}  // namespace

struct CurlTransfer::Impl {
  Impl() {
    InitCurlOnce();
    multi.reset(curl_multi_init());
    if (multi == nullptr) throw RelayError("Cannot set up libcurl's multi handle");
  }
  ~Impl() { Abandon(); }

  // The easy handle must leave the multi handle before it is cleaned up.
  void Abandon() noexcept {
    if (running == nullptr) return;
    curl_multi_remove_handle(multi.get(), running->easy.get());
    running.reset();
  }

  MultiHandle multi;
  std::unique_ptr<Request> running;
};

CurlTransfer::CurlTransfer() : impl_(std::make_unique<Impl>()) {}

CurlTransfer::~CurlTransfer() = default;

void CurlTransfer::Start(const std::string& url, std::string body,
                         const std::vector<HeaderLine>& headers, int32_t timeout_seconds) {
  CheckUrl(url);
  auto request = std::make_unique<Request>();
  request->headers = CurlHeaders(headers);
  // With the size given libcurl sends the buffer as bytes, NULs included, and does not copy it:
  // the request owns it until the easy handle is gone.
  request->body = std::move(body);
  request->easy.reset(curl_easy_init());
  CURL* easy = request->easy.get();
  if (easy == nullptr) throw RelayError("Cannot set up the request");
  SetOption(easy, CURLOPT_URL, url.c_str());
  SetOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // A connection of its own for every request: on a reused connection that closes without an
  // answer libcurl sends the request again by itself, which posts a message the server may
  // already have taken a second time. A failed message is never sent again.
  SetOption(easy, CURLOPT_FRESH_CONNECT, 1L);
  SetOption(easy, CURLOPT_FORBID_REUSE, 1L);
  SetOption(easy, CURLOPT_NOSIGNAL, 1L);
  // libcurl built on OpenSSL uses its compiled-in bundle and ignores these variables (only the
  // curl tool reads them), yet they are the usual way to trust a private CA. OpenSSL's own
  // SSL_CERT_FILE wins: the curl tool's CURL_CA_BUNDLE is often preset to the system bundle.
  std::string ca_file = EnvironmentValue("SSL_CERT_FILE");
  if (ca_file.empty()) ca_file = EnvironmentValue("CURL_CA_BUNDLE");
  if (!ca_file.empty()) SetOption(easy, CURLOPT_CAINFO, ca_file.c_str());
  const std::string ca_path = EnvironmentValue("SSL_CERT_DIR");
  if (!ca_path.empty()) SetOption(easy, CURLOPT_CAPATH, ca_path.c_str());
  SetOption(easy, CURLOPT_TIMEOUT, static_cast<long>(timeout_seconds));
  SetOption(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  SetOption(easy, CURLOPT_HTTPHEADER, request->headers.get());
  SetOption(easy, CURLOPT_WRITEFUNCTION, &KeepAnswer);
  SetOption(easy, CURLOPT_WRITEDATA, static_cast<void*>(request.get()));
  SetOption(easy, CURLOPT_PRIVATE, static_cast<void*>(request.get()));
  SetOption(easy, CURLOPT_ERRORBUFFER, request->error);
  SetOption(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request->body.size()));
  SetOption(easy, CURLOPT_POSTFIELDS, request->body.data());
  CheckMulti(curl_multi_add_handle(impl_->multi.get(), easy), "Cannot start the request");
  impl_->running = std::move(request);
}

bool CurlTransfer::InFlight() const { return impl_->running != nullptr; }

void CurlTransfer::Abandon() { impl_->Abandon(); }

void CurlTransfer::Wait(pollfd* fds, unsigned count, int timeout_ms) {
  timeout_ms = std::max(timeout_ms, 0);
  // Idle, libcurl has no socket to watch: a plain poll spares its work on every wake-up.
  if (impl_->running == nullptr) {
    poll(fds, count, timeout_ms);
    return;
  }
  std::array<curl_waitfd, 8> extra{};
  count = std::min<unsigned>(count, extra.size());
  for (unsigned i = 0; i < count; ++i) extra[i] = {fds[i].fd, CURL_WAIT_POLLIN, 0};
  CheckMulti(curl_multi_poll(impl_->multi.get(), extra.data(), count, timeout_ms, nullptr),
             "Waiting for the transfer failed");
  for (unsigned i = 0; i < count; ++i) fds[i].revents = extra[i].revents != 0 ? POLLIN : 0;
  Perform();
}

void CurlTransfer::Perform() {
  int still_running = 0;
  CheckMulti(curl_multi_perform(impl_->multi.get(), &still_running), "Running the transfer failed");
  // Copied out of the message before its handle goes, which makes the message invalid.
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(impl_->multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    Request* request = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
    if (request == nullptr || request != impl_->running.get()) continue;
    const CURLcode code = message->data.result;
    long status = 0;
    curl_easy_getinfo(request->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    std::string kept = std::move(request->kept);
    const std::string reason =
        request->error[0] != '\0' ? request->error : curl_easy_strerror(code);
    impl_->Abandon();
    if (code == CURLE_OK) {
      Answered(status, std::move(kept));
    } else {
      Failed(reason);
    }
  }
}

}  // namespace cw
