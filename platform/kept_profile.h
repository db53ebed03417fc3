#pragma once
// A profile reader that keeps the file it read, as the Windows profile functions do, for platforms
// that have none: the scan reads a setting every second, and the file rarely changes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "settings/profile_reader.h"

namespace cw {

// Reads the file again only when its facts (FileFacts) have changed. A file changed within the last
// racy_ns of its reading (two seconds) is read again every time: a second edit within the file
// system's clock granularity could leave its facts as they were.
class KeptProfileReader final : public ProfileReader {
 public:
  explicit KeptProfileReader(const FileSystem& files, int64_t racy_ns = 2'000'000'000)
      : files_(files), racy_ns_(racy_ns) {}
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& default_value,
                                      const std::string& path) override;

 private:
  const FileSystem& files_;
  const int64_t racy_ns_;
  std::optional<FileFacts> kept_facts_;  // of contents_; nullopt: nothing kept
  std::string kept_path_;
  std::string contents_;
  // What each name gave in contents_: its value, or nullopt for a name that is not there. A
  // dozen names at most, so a search through a vector is quicker than any tree.
  struct LookedUp {
    std::string section, key;
    std::optional<std::string> value;
  };
  std::vector<LookedUp> looked_up_;
};

}  // namespace cw
