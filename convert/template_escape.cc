#include "convert/template_escape.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/ascii.h"

namespace cw {
namespace {

using Escape = std::pair<char, const char*>;  // a byte and the text that stands for it

constexpr Escape kXmlEntities[] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&apos;"}};
constexpr Escape kJsonEscapes[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"},
                                   {'\t', "\\t"}, {'\b', "\\b"},  {'\f', "\\f"}};

// The text that stands for c in table, or nullptr when it has none.
template <size_t N>
const char* EscapeIn(const Escape (&table)[N], unsigned char c) {
  const auto* found = std::find_if(std::begin(table), std::end(table),
                                   [c](const Escape& e) { return e.first == c; });
  return found != std::end(table) ? found->second : nullptr;
}

void AppendXml(std::string& out, unsigned char c) {
  if (const char* entity = EscapeIn(kXmlEntities, c)) {
    out += entity;
  } else {
    out += (c < 32 && c != '\t' && c != '\n') ? '?' : static_cast<char>(c);
  }
}

void AppendJson(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (const char* escape = EscapeIn(kJsonEscapes, c)) {
    out += escape;
  } else if (c < 32 || c == 127) {
    out += "\\u00";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace
TemplateEscape TemplateEscapeFromSetting(std::string_view setting) {
  if (EqualsIgnoringCase(setting, "XML")) return TemplateEscape::kXml;
  if (EqualsIgnoringCase(setting, "JSON")) return TemplateEscape::kJson;
  return TemplateEscape::kNone;
}

std::string EscapeForTemplate(std::string_view text, TemplateEscape escape) {
  if (escape == TemplateEscape::kNone) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (escape == TemplateEscape::kXml) {
      AppendXml(out, static_cast<unsigned char>(c));
    } else {
      AppendJson(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

}  // namespace cw
