#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile_reader.h"

namespace cw {

class PosixFileSystem final : public FileSystem {
 public:
  char PathSeparator() const override { return '/'; }
  bool IsAbsolutePath(const std::string& path) const override {
    return !path.empty() && path.front() == '/';
  }
  // The lock is flock on the incoming file itself: the kernel drops it with its holder, so no
  // lock is ever left behind. A feed that locked the file checks that it is still the one at
  // the path, since a claim may have renamed it between the feed's open and its lock. The rename
  // is renameat2 with RENAME_NOREPLACE; where the file system lacks it, link then unlink, which
  // fails the same way when the target exists.
  bool Claim(const std::string& from, const std::string& to) override;
  void AppendForRelay(const std::string& path, std::string_view record, int wait_ms) override;
  // Only a regular file is opened; a folder, a FIFO or a device is refused without blocking.
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  bool Exists(const std::string& path) override;
  void Delete(const std::string& path) override;
  void AppendLine(const std::string& path, const std::string& line) override;
};

// Standard input, to be read to its end; our descriptor 0 stays open.
std::unique_ptr<ReadableFile> StandardInput();

// Replaces the file at path by one holding text, with the given mode; the folders on the way are
// made as needed. Readers see the old file or the whole new one, never a part: the text goes to a
// temporary file in the same folder, reaches the disk, and is renamed over the old one, and the
// folder's entry reaches the disk too. A crash leaves at most a stray temporary file, whose dotted
// name no reader looks at. Throws RelayError, leaving the old file as it was.
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode);

// The settings file read with our own profile reader (settings/profile_format.h). Like the
// Windows profile functions it keeps the file it read, and reads it again only when one stat
// shows another file, size or modification time (to the nanosecond). A file modified within the
// last two seconds of its reading is read again every time: a second edit within the file
// system's clock granularity would keep the same time stamp.
class PosixProfileReader final : public ProfileReader {
 public:
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& default_value,
                                      const std::string& path) override;

 private:
  struct Identity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modified_ns = 0;
    bool operator==(const Identity&) const = default;
  };
  Identity cached_;
  std::string cached_path_;
  bool cache_valid_ = false;
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
