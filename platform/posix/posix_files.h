#pragma once
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/file_policy.h"

namespace cw {

class PosixFileSystem final : public SystemFileSystem {
 public:
  char PathSeparator() const override { return '/'; }
  bool IsAbsolutePath(const std::string& path) const override {
    return !path.empty() && path.front() == '/';
  }
  // Every open of the relay's files is one primitive: lstat, open with O_NOFOLLOW, fstat, compare.
  // The lock is flock on the incoming file itself: the kernel drops it with its holder, so no
  // lock is ever left behind. A feed that locked the file checks that it is still the one at
  // the path, since a claim may have renamed it between the feed's open and its lock. The rename
  // is renameat2 with RENAME_NOREPLACE; where the file system lacks it, link then unlink, which
  // fails the same way when the target exists.
  bool Claim(const std::string& from, const std::string& to) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::optional<FileFacts> Facts(const std::string& path, Link link) const override;
  void Delete(const std::string& path) override;
  void RequireReadableIfPresent(const std::string& path) const override;

 protected:
  std::unique_ptr<AppendableFile> OpenToAppend(const std::string& path, bool feed) override;
  std::string ResolvedPath(const std::string& path) const override;
};

// Standard input, to be read to its end; our descriptor 0 stays open.
std::unique_ptr<ReadableFile> StandardInput();

// Replaces the file at path by one holding text, with the given mode; the folders on the way are
// made as needed. Readers see the old file or the whole new one, never a part: the text goes to a
// temporary file in the same folder, reaches the disk, and is renamed over the old one, and the
// folder's entry reaches the disk too. A crash leaves at most a stray temporary file, whose dotted
// name no reader looks at. Throws RelayError, leaving the old file as it was.
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode);

}  // namespace cw
