#pragma once
// A profile reader that keeps the file it read, as the Windows profile functions do, for platforms
// that have none: the scan reads a setting every second, and the file rarely changes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/profile_reader.h"

namespace cw {

// Who a file is, as only the system can tell: any edit changes it. The change time is part of it
// because no user call can set that back, as `touch -r` does with the modification time.
struct FileStamp {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modified_ns = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

class FileStamps {
 public:
  virtual ~FileStamps() = default;
  // The stamp of the regular file at path; nullopt when there is none (missing, a folder, a FIFO).
  virtual std::optional<FileStamp> Stamp(const std::string& path) const = 0;
};

// Reads the file again only when its stamp has changed. A file changed within the last racy_ns of
// its reading (two seconds) is read again every time: a second edit within the file system's
// clock granularity could keep the same stamp.
class KeptProfileReader final : public ProfileReader {
 public:
  explicit KeptProfileReader(FileStamps& stamps, int64_t racy_ns = 2'000'000'000)
      : stamps_(stamps), racy_ns_(racy_ns) {}
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& default_value,
                                      const std::string& path) override;

 private:
  FileStamps& stamps_;
  const int64_t racy_ns_;
  std::optional<FileStamp> kept_stamp_;  // of contents_; nullopt: nothing kept
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
