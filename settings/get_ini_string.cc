#include "settings/get_ini_string.h"

#include "settings/profile_format.h"

namespace cw {

std::string GetIniString(ProfileReader& reader, const std::string& settings_path,
                         const std::string& section, const std::string& key,
                         const std::string& default_text) {
  std::string value = reader.GetPrivateProfileString(section, key, default_text, settings_path);
  // The profile reader's buffer holds 2047 bytes, a long default included.
  if (value.size() > kMaxProfileValue) value.resize(kMaxProfileValue);
  return value;
}

}  // namespace cw
