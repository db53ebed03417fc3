#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/errors.h"
#include "platform/whole_lines.h"
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

void PosixFileSystem::AppendLine(const std::string& path, const std::string& line) {
  CheckPath(path);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) ThrowErrno("cannot open", path);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat info {};
  if (fstat(fd, &info) != 0) ThrowErrno("cannot examine", path);
  if (!S_ISREG(info.st_mode)) throw RelayError("not a regular file: " + path);
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  const uint64_t whole = EndOfWholeLines(size, [&](uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    const ssize_t n = pread(fd, bytes.data(), count, static_cast<off_t>(offset));
    if (n < 0) ThrowErrno("cannot read", path);
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  });
  if (whole != size && ftruncate(fd, static_cast<off_t>(whole)) != 0)
    ThrowErrno("cannot cut", path);
  const std::string record = line + "\r\n";
  for (size_t done = 0; done < record.size();) {
    const ssize_t n =
        pwrite(fd, record.data() + done, record.size() - done, static_cast<off_t>(whole + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ThrowErrno("cannot write", path);
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) ThrowErrno("cannot flush", path);
}

std::string PosixProfileReader::GetPrivateProfileString(const std::string& section,
                                                        const std::string& key,
                                                        const std::string& default_value,
                                                        const std::string& path) {
  // Files beyond this size are read afresh each time rather than kept in memory.
  constexpr off_t kMaxKeptBytes = 1 << 20;
  constexpr int64_t kRacyNs = 2'000'000'000;
  if (path.find('\0') != std::string::npos) return default_value;
  // A folder, a FIFO or a device in the settings file's place gives the defaults.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return default_value;
  const Identity now_seen{path, static_cast<uint64_t>(info.st_dev),
                          static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_size),
                          info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
  if (!cache_valid_ || !(cached_ == now_seen)) {
    cache_valid_ = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return default_value;
    if (info.st_size > kMaxKeptBytes) return ReadProfileValue(in, section, key, default_value);
    contents_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return default_value;
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const int64_t read_ns = clock.tv_sec * 1'000'000'000LL + clock.tv_nsec;
    cached_ = now_seen;
    cache_valid_ = read_ns - now_seen.modified_ns > kRacyNs;
  }
  std::istringstream in(contents_);
  return ReadProfileValue(in, section, key, default_value);
}

}  // namespace cw
