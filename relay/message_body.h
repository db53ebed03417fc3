#pragma once
// How a line of the incoming file becomes the request body.
#include <string>
#include <string_view>

namespace cw {

// Removes every "[", "]", "\", "{" and "}".
void RemoveBrackets(std::string& text);

// template_text with every "[Message]", in any letter case, replaced by message.
std::string FillBodyTemplate(std::string_view template_text, std::string_view message);

}  // namespace cw
