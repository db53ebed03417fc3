#include "settings/settings_file.h"

#include "settings/profile_format.h"

namespace cw {

std::string SettingsFile::GetIniString(const std::string& section, const std::string& key,
                                       const std::string& default_text) const {
  std::string value = reader_.GetPrivateProfileString(section, key, default_text, path_);
  if (value.size() > kMaxProfileValue) value.resize(kMaxProfileValue);
  return value;
}

}  // namespace cw
