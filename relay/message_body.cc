#include "relay/message_body.h"

#include <algorithm>

#include "base/ascii.h"

namespace cw {

void RemoveBrackets(std::string& text) {
  std::erase_if(text,
                [](char c) { return c == '[' || c == ']' || c == '\\' || c == '{' || c == '}'; });
}

std::string FillBodyTemplate(std::string_view template_text, std::string_view message) {
  constexpr std::string_view kPlaceholder = "[Message]";
  std::string body;
  body.reserve(template_text.size() + message.size());
  size_t at = 0;
  for (size_t found;
       (found = FindIgnoringCase(template_text, kPlaceholder, at)) != std::string_view::npos;) {
    body.append(template_text, at, found - at);
    body += message;
    at = found + kPlaceholder.size();
  }
  body.append(template_text, at);
  return body;
}

}  // namespace cw
