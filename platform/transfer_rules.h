#pragma once
// Rules of a request that hold whatever library carries it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/http_transfer.h"

namespace cw {

// Only this much of an answer is ever fetched, so only this much is kept; the rest is read off
// the wire and dropped, which keeps memory flat whatever the server sends.
inline constexpr size_t kKeptAnswerBytes = 1024;

// The longest a request may run: never shorter than the operator's wait for the answer, so the
// transfer's own bound cannot end a request that is still being waited for.
constexpr int32_t RequestTimeoutSeconds(int16_t wait_seconds) {
  return std::max<int32_t>(60, wait_seconds + 10);
}

// A configured header line that is sent.
struct HeaderLine {
  std::string text;  // as written
  std::string name;  // before the colon, without surrounding blanks
  bool empty_value;  // nothing but blanks after the colon
};

// The header lines of the configured text: lines end at CR LF, a lone CR or a lone LF (a line
// break must never reach the wire inside a value). A line without a colon, or with nothing
// before it, is not a header and is left out; every other line is sent as written. Throws
// RelayError for a header line holding a NUL.
std::vector<HeaderLine> HeaderLines(const std::string& configured);

// The URL to request: one written without "://" gets the default scheme.
// Throws RelayError for an empty URL or one holding a NUL.
std::string UrlWithScheme(const std::string& written, DefaultScheme scheme);

}  // namespace cw
