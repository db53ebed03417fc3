#include "convert/template_escape.h"

#include "base/ascii.h"

namespace cw {
namespace {

void AppendXml(std::string& out, unsigned char c) {
  switch (c) {
    case '&':
      out += "&amp;";
      return;
    case '<':
      out += "&lt;";
      return;
    case '>':
      out += "&gt;";
      return;
    case '"':
      out += "&quot;";
      return;
    case '\'':
      out += "&apos;";
      return;
    default:
      out += (c < 32 && c != '\t' && c != '\n') ? '?' : static_cast<char>(c);
  }
}

void AppendJson(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    default:
      if (c < 32 || c == 127) {
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
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
