#pragma once
// How both windows show text that may hold any byte: control bytes can never move the cursor,
// cut a string short (NUL) or change the screen's state.
#include <string>
#include <string_view>

namespace cw {

enum class HighBytes {
  kKeep,  // bytes of 128 and above stay: the window shows them as its code page's characters
  kHex,   // shown as \xHH, for a terminal whose character set is not the program's
};

// text with its control bytes shown as ^@ .. ^_ and ^?, and its high bytes as high says.
std::string VisibleText(std::string_view text, HighBytes high);

}  // namespace cw
