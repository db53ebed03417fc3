#pragma once
// The systemd host's settings store: a small INI file that holds the one setting the host keeps,
// the mode flag ("[Parameters]", "RunAsService=1"). It is read with the program's settings reader
// and replaced whole, atomically, by every save.
#include <string>

namespace cw {

class ServiceStore {
 public:
  explicit ServiceStore(std::string path) : path_(std::move(path)) {}

  // The value of key in section; default_value when the file, the section or the key is missing
  // or unreadable.
  std::string Read(const std::string& section, const std::string& key,
                   const std::string& default_value) const;
  // Replaces the file by one holding only section and key=value. Throws RelayError when the file
  // cannot be written, or when the setting would not read back as saved (a line break in it,
  // blanks at its ends); the old file is then kept.
  void Save(const std::string& section, const std::string& key, const std::string& value);

 private:
  std::string path_;
};

}  // namespace cw
