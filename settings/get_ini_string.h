#pragma once
#include <string>

#include "platform/profile_reader.h"

namespace cw {

// Name of the settings file in the program's folder.
inline constexpr char kSettingsFileName[] = "Corbelwynford.INI";

// The value of key in section of app_path + "Corbelwynford.INI", or default_text when the file,
// section or key is missing; at most 2047 bytes. The file is read afresh on every call and
// nothing of it is kept, so an edit is in force at the next call.
std::string GetIniString(ProfileReader& reader, const std::string& app_path,
                         const std::string& section, const std::string& key,
                         const std::string& default_text);

}  // namespace cw
