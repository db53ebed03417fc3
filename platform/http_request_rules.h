#pragma once
// Rules of a request that every transfer control applies alike, whatever library carries it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cw {

// Only this much of an answer is ever fetched, so only this much is kept; the rest is read off
// the wire and dropped, which keeps memory flat whatever the server sends.
inline constexpr size_t kKeptAnswerBytes = 1024;
// The control's protocol numbers: 4 HTTP, 5 HTTPS; 0 to 3 name no web protocol and mean HTTP.
inline constexpr int32_t kProtocolHttps = 5;
inline constexpr int32_t kHighestProtocol = 5;

// Header lines as configured: split at CR LF, a lone CR or a lone LF (a line break must never
// reach the wire inside a value, where it would start a header the operator did not write);
// blank lines are dropped, every other line is kept exactly as written.
std::vector<std::string> SplitHeaderLines(const std::string& text);

// True for a plain HTTP token, the only thing that may stand as the method on the request line.
bool IsHttpToken(const std::string& text);

// The URL to request: one written without "://" gets https:// for protocol 5, http:// otherwise.
// Throws RelayError for an empty URL or one holding a NUL.
std::string UrlWithScheme(const std::string& written, int32_t protocol);

}  // namespace cw
