#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "platform/errors.h"
#include "platform/posix/unique_fd.h"
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
  explicit PosixReadableFile(UniqueFd fd) : fd_(std::move(fd)) {}
  size_t Read(char* buffer, size_t size) override {
    if (!fd_.valid()) throw RelayError("file is closed");
    for (;;) {
      ssize_t n = read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) ThrowErrno("cannot read", "claim file");
    }
  }
  void Close() override { fd_.Reset(); }

 private:
  UniqueFd fd_;
};

void MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) ThrowErrno("Cannot create folder", part);
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) ThrowErrno("Cannot create folder", folder);
  if (!S_ISDIR(info.st_mode)) throw RelayError("Cannot create folder " + folder + ": not a folder");
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno("Cannot write", path);
    done += static_cast<size_t>(n);
  }
}

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
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) ThrowErrno("cannot open", path);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw RelayError("not a regular file: " + path);
  }
  return std::make_unique<PosixReadableFile>(std::move(fd));
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat info {};
  return path.find('\0') == std::string::npos && lstat(path.c_str(), &info) == 0;
}

void PosixFileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (unlink(path.c_str()) != 0) ThrowErrno("cannot delete", path);
}

void PosixFileSystem::AppendLine(const std::string& path, const std::string& line) {
  CheckPath(path);
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  if (!fd.valid()) ThrowErrno("cannot open", path);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) ThrowErrno("cannot examine", path);
  if (!S_ISREG(info.st_mode)) throw RelayError("not a regular file: " + path);
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  const uint64_t whole = EndOfWholeLines(size, [&](uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    const ssize_t n = pread(fd.get(), bytes.data(), count, static_cast<off_t>(offset));
    if (n < 0) ThrowErrno("cannot read", path);
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  });
  if (whole != size && ftruncate(fd.get(), static_cast<off_t>(whole)) != 0)
    ThrowErrno("cannot cut", path);
  if (lseek(fd.get(), static_cast<off_t>(whole), SEEK_SET) < 0) ThrowErrno("cannot seek", path);
  WriteAll(fd.get(), line + "\r\n", path);
  if (fsync(fd.get()) != 0) ThrowErrno("cannot flush", path);
}

void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
  CheckPath(path);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  MakeFolders(folder);
  std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) ThrowErrno("Cannot create a file in", folder);
  try {
    if (fchmod(fd.get(), mode) != 0) ThrowErrno("Cannot set the mode of", temp);
    WriteAll(fd.get(), text, temp);
    if (fsync(fd.get()) != 0 || fd.Reset() != 0) ThrowErrno("Cannot write", temp);
    if (rename(temp.c_str(), path.c_str()) != 0) ThrowErrno("Cannot replace", path);
  } catch (...) {
    unlink(temp.c_str());
    throw;
  }
  // The new name reaching the disk; the file is whole either way.
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
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
  const Identity now_seen{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                          static_cast<uint64_t>(info.st_size),
                          info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
  if (!cache_valid_ || !(cached_ == now_seen) || cached_path_ != path) {
    cache_valid_ = false;
    looked_up_.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return default_value;
    if (info.st_size > kMaxKeptBytes) return ReadProfileValue(in, section, key, default_value);
    contents_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return default_value;
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const int64_t read_ns = clock.tv_sec * 1'000'000'000LL + clock.tv_nsec;
    cached_ = now_seen;
    cached_path_ = path;
    cache_valid_ = read_ns - now_seen.modified_ns > kRacyNs;
  }
  auto at = std::find_if(looked_up_.begin(), looked_up_.end(), [&](const LookedUp& name) {
    return name.key == key && name.section == section;
  });
  if (at == looked_up_.end()) {
    std::istringstream in(contents_);
    at = looked_up_.insert(at, {section, key, FindProfileValue(in, section, key)});
  }
  return at->value ? *at->value : default_value;
}

}  // namespace cw
