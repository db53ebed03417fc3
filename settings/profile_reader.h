#pragma once
// Reading a profile (INI) file: the platform's own reader where it has one (Windows), or
// KeptProfileReader, which follows the same rules.
#include <string>

namespace cw {

class ProfileReader {
 public:
  virtual ~ProfileReader() = default;
  // The value of key in section of the file at path, cut to its first kMaxProfileValue bytes, or
  // default_value when the file, the section or the key is missing or unreadable. Never throws
  // for bad file contents.
  virtual std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                              const std::string& default_value,
                                              const std::string& path) = 0;
};

}  // namespace cw
