#include "platform/transfer_rules.h"

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
std::vector<HeaderLine> HeaderLines(const std::string& configured) {
  std::vector<HeaderLine> lines;
  size_t start = 0;
  while (start < configured.size()) {
    size_t end = configured.find_first_of("\r\n", start);
    if (end == std::string::npos) end = configured.size();
    std::string text = configured.substr(start, end - start);
    start = end + 1;  // the LF of a CR LF pair makes an empty line, which is left out
    const size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    std::string name(TrimBlanks(std::string_view(text).substr(0, colon)));
    if (name.empty()) continue;
    if (text.find('\0') != std::string::npos) throw RelayError("Header line contains a NUL byte");
    const bool empty_value = TrimBlanks(std::string_view(text).substr(colon + 1)).empty();
    lines.push_back({std::move(text), std::move(name), empty_value});
  }
  return lines;
}

std::string UrlWithScheme(const std::string& written, DefaultScheme scheme) {
  if (written.empty()) throw RelayError("The URL is empty");
  if (written.find('\0') != std::string::npos) throw RelayError("The URL contains a NUL byte");
  if (written.find("://") != std::string::npos) return written;
  return (scheme == DefaultScheme::kHttps ? "https://" : "http://") + written;
}

}  // namespace cw
