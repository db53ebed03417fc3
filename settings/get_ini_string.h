#pragma once
#include <string>

#include "platform/profile_reader.h"

namespace cw {

// Name of the settings file in the program's folder.
inline constexpr char kSettingsFileName[] = "Corbelwynford.INI";

// The value of key in section of the settings file at settings_path (the program's folder and
// kSettingsFileName), or default_text when the file, section or key is missing; at most 2047
// bytes. An edit of the file is in force at the next call.
std::string GetIniString(ProfileReader& reader, const std::string& settings_path,
                         const std::string& section, const std::string& key,
                         const std::string& default_text);

}  // namespace cw
