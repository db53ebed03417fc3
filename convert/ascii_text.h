#pragma once
// ASCII rules for names and keywords: only the letters A to Z and a to z fold, so every other byte,
// NUL and bytes above 127 included, matches only itself whatever the locale.
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

}  // namespace cw
