#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/errors.h"
#include "settings/profile_format.h"

namespace cw {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, const std::string& path) {
  throw RelayError(what + " " + path + ": " + std::strerror(errno));
}

// Paths are bytes; one with a NUL in it names no file.
void CheckPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw RelayError("path holds a NUL byte");
}

class PosixReadableFile final : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  ~PosixReadableFile() override { Close(); }
  size_t Read(char* buffer, size_t size) override {
    if (fd_ < 0) throw RelayError("file is closed");
    for (;;) {
      ssize_t n = read(fd_, buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) ThrowErrno("cannot read", "claim file");
    }
  }
  void Close() override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

void PosixFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  CheckPath(from);
  CheckPath(to);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) ThrowErrno("cannot rename", from);
  if (link(from.c_str(), to.c_str()) != 0) ThrowErrno("cannot rename", from);
  if (unlink(from.c_str()) != 0) ThrowErrno("cannot remove", from);
}

std::unique_ptr<ReadableFile> PosixFileSystem::OpenForReading(const std::string& path) {
  CheckPath(path);
  // O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) ThrowErrno("cannot open", path);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw RelayError("not a regular file: " + path);
  }
  return std::make_unique<PosixReadableFile>(fd);
}

void PosixFileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (unlink(path.c_str()) != 0) ThrowErrno("cannot delete", path);
}

std::string PosixProfileReader::GetPrivateProfileString(const std::string& section,
                                                        const std::string& key,
                                                        const std::string& default_value,
                                                        const std::string& path) {
  if (path.find('\0') != std::string::npos) return default_value;
  // A folder, a FIFO or a device in the settings file's place gives the defaults.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return default_value;
  std::ifstream in(path, std::ios::binary);
  if (!in) return default_value;
  return ReadProfileValue(in, section, key, default_value);
}

}  // namespace cw
