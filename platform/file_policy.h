#pragma once
// What the real file systems do alike, written once: a record on a line of its own, all or
// nothing; the feed's wait for the lock; a file's identity. Each system gives the few primitives
// below (posix_files.cc, win32_files.cc).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace cw {

// A plain file opened to append to (file_rules.h), its system handle inside; destruction closes
// it, letting go of a lock it holds first. Every call but CutBackTo throws RelayError, naming the
// file and the system's reason, when the system refuses it.
class AppendableFile {
 public:
  virtual ~AppendableFile() = default;
  virtual uint64_t Size() = 0;
  // Up to size bytes from offset on; fewer only at the end of the file.
  virtual size_t ReadAt(uint64_t offset, char* buffer, size_t size) = 0;
  // All of bytes, at the end of the file.
  virtual void Append(std::string_view bytes) = 0;
  // Returns once what was appended is on the disk.
  virtual void Sync() = 0;
  // Cuts the file back to length, to undo an append; a failure to do so goes unsaid, since the
  // failure that brought the caller here is the one worth reporting.
  virtual void CutBackTo(uint64_t length) = 0;
  // True once this holds the lock that a claim takes; false while another holds it. Where the
  // open itself takes the lock (Windows), it is held already.
  virtual bool TryLock() = 0;
  // True while the path it was opened by still names this file: a claim may have renamed it.
  virtual bool StillAtPath() = 0;
};

// The real file systems: the rules above over their primitives.
class SystemFileSystem : public FileSystem {
 public:
  bool AppendLine(const std::string& path, const std::string& line) final;
  void AppendForRelay(const std::string& path, std::string_view record, int wait_ms) final;
  std::string FileIdentity(const std::string& path) const final;

 protected:
  // The plain file at path, opened to append to, created when missing. For a feed, a file it
  // creates is readable and writable by its group too, and nullptr comes back while a lock that
  // the open itself takes (Windows) is another's; otherwise that throws.
  virtual std::unique_ptr<AppendableFile> OpenToAppend(const std::string& path, bool feed) = 0;
  // path with its folder resolved (links, "." and ".." followed) as far as the system can tell.
  virtual std::string ResolvedPath(const std::string& path) const = 0;
};

}  // namespace cw
