#pragma once
// Files and the profile reader on Win32. Paths are bytes in the ANSI code page, passed to the
// "A" functions as they are.
#include <memory>
#include <string>

#include "platform/file_policy.h"
#include "settings/profile_reader.h"

namespace cw {

class Win32FileSystem final : public SystemFileSystem {
 public:
  char PathSeparator() const override { return '\\'; }
  // "\x", "\\server\share\x" and "C:..." name the same file from any folder.
  bool IsAbsolutePath(const std::string& path) const override;
  // The lock is the share mode: a feed holds the incoming file open without FILE_SHARE_WRITE and
  // FILE_SHARE_DELETE, so MoveFileEx (without MOVEFILE_REPLACE_EXISTING, so it fails when to
  // exists) gets a sharing violation while it writes, and a second feed waits for the first. The
  // system closes the handle of a process that ends, so nothing is ever left locked.
  bool Claim(const std::string& from, const std::string& to) override;
  // Every open of the relay's files takes a reparse point itself rather than its target, and only
  // a disk file of one name (a folder, a device such as CON or COM1, a pipe are refused).
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  // A link itself is looked at by its attributes alone (no names, no file index); neither look
  // tells a change time.
  std::optional<FileFacts> Facts(const std::string& path, Link link) const override;
  void Delete(const std::string& path) override;
  void RequireReadableIfPresent(const std::string& path) const override;

 protected:
  std::unique_ptr<AppendableFile> OpenToAppend(const std::string& path, bool feed) override;
  // Windows names ignore letter case: the path in small letters.
  std::string ResolvedPath(const std::string& path) const override;
};

// Standard input, to be read to its end (a program without a console has one only where it was
// redirected; without one it reads as empty).
std::unique_ptr<ReadableFile> StandardInput();

// GetPrivateProfileStringA itself, with a buffer for the longest value and its NUL.
class Win32ProfileReader final : public ProfileReader {
 public:
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& default_value,
                                      const std::string& path) override;
};

}  // namespace cw
