#pragma once
// ASCII rules for names, keywords and header lines: only A to Z and a to z fold, so every other
// byte, NUL and bytes above 127 included, matches only itself whatever the locale; a blank is a
// space or a tab.
#include <algorithm>
#include <string_view>

namespace cw {

constexpr char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldCase(x) == FoldCase(y);
         });
}

// Where needle first stands in text, letter case aside; npos when it does not.
constexpr size_t FindIgnoringCase(std::string_view text, std::string_view needle, size_t from = 0) {
  for (size_t at = from; at + needle.size() <= text.size(); ++at) {
    if (EqualsIgnoringCase(text.substr(at, needle.size()), needle)) return at;
  }
  return std::string_view::npos;
}

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// text without the blanks at both ends.
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace cw
