#pragma once
// Escaping of a message for the markup of the body template it goes into, so that no message
// can end an XML element or a JSON string early. Pure functions, any byte of any length.
#include <string>
#include <string_view>

namespace cw {

enum class TemplateEscape { kNone, kXml, kJson };

// The setting's text: "XML" or "JSON" in any letter case; anything else means no escaping.
TemplateEscape TemplateEscapeFromSetting(std::string_view setting);

// XML: & < > " ' as entities; bytes XML 1.0 cannot carry (below 32 but TAB and LF) as "?".
// JSON: " and \ behind a backslash; bytes below 32 and 127 as \n \r \t \b \f or \u00XX.
// Bytes from 128 up pass unchanged in both.
std::string EscapeForTemplate(std::string_view text, TemplateEscape escape);

}  // namespace cw
