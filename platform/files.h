#pragma once
// File operations of the scan cycle. Paths are byte strings; every failure throws RelayError.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cw {

// An open file read from its start. Closing happens on Close() or destruction.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to size bytes into buffer; returns 0 only at the end of the file. Throws on error.
  virtual size_t Read(char* buffer, size_t size) = 0;
  virtual void Close() = 0;
};

// What stands at a path, as the system tells it.
enum class FileKind { kRegular, kSymbolicLink, kReparsePoint, kFolder, kFifo, kDevice, kSocket };

// Whether a look at a path takes a link itself or what it leads to.
enum class Link { kItself, kFollowed };

// What one look at a file tells. Any edit changes it: the change time is part of it because no
// user call can set that back, as `touch -r` does with the modification time.
struct FileFacts {
  FileKind kind = FileKind::kRegular;
  uint64_t names = 1;  // hard links
  uint64_t size = 0;
  int64_t modified_ns = 0, changed_ns = 0;  // since 1970 (UTC)
  uint64_t device = 0, inode = 0;           // Windows: the volume and the file index
  bool operator==(const FileFacts&) const = default;
  // Seconds since 1970 (UTC), as Clock::Now() counts.
  int64_t ModifiedSeconds() const {
    return modified_ns / 1'000'000'000 - (modified_ns % 1'000'000'000 < 0 ? 1 : 0);
  }
};

// The relay's files (the incoming file, its claim file, the failed-message file) lie in folders
// that other users may write. Every operation below that opens one takes only a regular file of a
// single name, reached without following a symbolic link, and checks that what it opened is what
// the path names (file_rules.h): anything else throws RefusedFile and is left as it is, never read,
// written through, renamed or deleted.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The separator that ends a folder's path ("/" on Linux, "\" on Windows).
  virtual char PathSeparator() const = 0;
  // True for a path that names the same file from any folder ("/x" on Linux; "\x", "\\server"
  // and "C:" paths on Windows); any other path is taken from the program's folder.
  virtual bool IsAbsolutePath(const std::string& path) const = 0;
  // Claims the incoming file: renames from to to, never replacing an existing to (that throws).
  // The claim and AppendForRelay agree through a lock on the incoming file: while a feed holds it
  // nothing is done and false comes back, and the next tick or watch event tries again; the claim
  // never waits. Only a plain file that opens for reading is claimed (anything else throws), so
  // nothing that can never be read becomes a claim file that blocks every later one. A file on
  // another file system than to is copied there, flushed, and then removed.
  virtual bool Claim(const std::string& from, const std::string& to) = 0;
  // Appends record to the incoming file at path (created when missing), for the relay to claim:
  // waits up to wait_ms for the lock that Claim takes, writes into the file that is still at path
  // (never into one a claim has just renamed), and returns once all of record is on the disk. A
  // file whose last line has no line end (written by hand, or by a writer killed in its write)
  // gets a CR LF first, so that its last message and record stay two. A file it creates is
  // readable and writable by its group too, so that feeds running as other users of that group can
  // append. Throws RelayError with the reason; the file then holds what it held before.
  virtual void AppendForRelay(const std::string& path, std::string_view record, int wait_ms) = 0;
  // True when something of any kind stands at path (a dangling link too); never throws. The idle
  // scan asks this rather than failing an open, which would cost an exception every tick.
  bool Exists(const std::string& path) const { return Facts(path, Link::kItself).has_value(); }
  // What stands at path, in one look; nullopt when nothing does (or it cannot be looked at).
  virtual std::optional<FileFacts> Facts(const std::string& path, Link link) const = 0;
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) = 0;
  virtual void Delete(const std::string& path) = 0;
  // Appends line and a CR LF to the file at path (created when missing) and returns once both
  // are on the disk. What the file held stays as it was: when its last line has no line end (a
  // file of someone else's, or one an append cut short by a crash), a CR LF goes first, and true
  // comes back so that the caller can say so. An append that fails is undone at once. Throws
  // RelayError, with the system's reason, when the file cannot be opened or written.
  virtual bool AppendLine(const std::string& path, const std::string& line) = 0;
  // Equal for two paths exactly when they name the same file, however spelled or linked: the
  // device and inode (Windows: volume and file index) of the file that path leads to where it
  // exists, else its path with the folder resolved (links, "." and ".." followed).
  virtual std::string FileIdentity(const std::string& path) const = 0;
  // Throws RelayError, naming the file that path leads to (the target of a link), when something
  // stands at path that this user cannot read as a file: a link to nothing, a folder, a file it
  // may not read. Nothing at all at path is no error.
  virtual void RequireReadableIfPresent(const std::string& path) const = 0;
};

}  // namespace cw
