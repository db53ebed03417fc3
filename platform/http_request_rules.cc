#include "platform/http_request_rules.h"

#include <algorithm>
#include <string_view>

#include "platform/errors.h"

namespace cw {

std::vector<std::string> SplitHeaderLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(std::move(line));
    start = end + 1;  // the LF of a CR LF pair makes an empty line, which is dropped
  }
  return lines;
}

bool IsHttpToken(const std::string& text) {
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u > 32 && u < 127 && kSeparators.find(c) == std::string_view::npos;
  });
}

std::string UrlWithScheme(const std::string& written, int32_t protocol) {
  if (written.empty()) throw RelayError("The URL is empty");
  if (written.find('\0') != std::string::npos) throw RelayError("The URL contains a NUL byte");
  if (written.find("://") != std::string::npos) return written;
  return (protocol == kProtocolHttps ? "https://" : "http://") + written;
}

}  // namespace cw
