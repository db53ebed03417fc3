#pragma once
// The program's settings file, Corbelwynford.INI in its folder.
#include <string>

#include "settings/profile_reader.h"

namespace cw {

inline constexpr char kSettingsFileName[] = "Corbelwynford.INI";

class SettingsFile {
 public:
  // program_folder ends in its separator. The reader stays the caller's.
  SettingsFile(ProfileReader& reader, const std::string& program_folder)
      : reader_(reader), path_(program_folder + kSettingsFileName) {}

  // The value of key in section, or default_text when the file, section or key is missing; at
  // most kMaxProfileValue bytes, a long default included. An edit of the file is in force at the
  // next call.
  std::string GetIniString(const std::string& section, const std::string& key,
                           const std::string& default_text) const;
  const std::string& Path() const { return path_; }

 private:
  ProfileReader& reader_;
  std::string path_;
};

}  // namespace cw
