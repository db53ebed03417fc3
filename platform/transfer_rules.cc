#include "platform/transfer_rules.h"

#include "platform/errors.h"
#include "platform/transfer_control.h"

namespace cw {
namespace {

constexpr char kBlanks[] = " \t";

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
}

}  // namespace

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
    std::string name = Trimmed(text.substr(0, colon));
    if (name.empty()) continue;
    if (text.find('\0') != std::string::npos) throw RelayError("Header line contains a NUL byte");
    const bool empty_value = Trimmed(text.substr(colon + 1)).empty();
    lines.push_back({std::move(text), std::move(name), empty_value});
  }
  return lines;
}

std::string UrlWithScheme(const std::string& written, int32_t protocol) {
  if (written.empty()) throw RelayError("The URL is empty");
  if (written.find('\0') != std::string::npos) throw RelayError("The URL contains a NUL byte");
  if (written.find("://") != std::string::npos) return written;
  return (protocol == kProtocolHttps ? "https://" : "http://") + written;
}

}  // namespace cw
