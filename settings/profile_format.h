#pragma once
// A profile (INI) file reader that follows the rules of the Windows profile reader, for platforms
// that have none. Operators' files were written for that reader, so its rules are kept: names
// match without regard to letter case, blanks around names and values are dropped, a value in a
// matching pair of quotes loses them, the first section and the first key of a name count.
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace cw {

// Longest value handed out, in bytes (the Windows reader's 2048-byte buffer less its NUL).
inline constexpr size_t kMaxProfileValue = 2047;

// Reads in until key of section is found and returns its value, cut to kMaxProfileValue bytes;
// default_value when the section or key is missing or the stream fails. Stops reading once the
// key is found, and never holds more than a bounded part of one line in memory.
std::string ReadProfileValue(std::istream& in, std::string_view section, std::string_view key,
                             std::string_view default_value);
// The same, with nullopt where ReadProfileValue gives the default: for a caller that keeps what
// it found and must tell a missing name from any value.
std::optional<std::string> FindProfileValue(std::istream& in, std::string_view section,
                                            std::string_view key);

}  // namespace cw
