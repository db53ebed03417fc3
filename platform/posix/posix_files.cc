#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "base/errors.h"
#include "platform/file_rules.h"
#include "platform/posix/unique_fd.h"

namespace cw {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, const std::string& path) {
  throw RelayError(what + " " + path + ": " + std::strerror(errno));
}

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

void WriteAll(int fd, std::string_view text, const std::string& path) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno("Cannot write", path);
    done += static_cast<size_t>(n);
  }
}

// O_NONBLOCK keeps a FIFO swapped in after the check from blocking the open; regular files
// ignore it. O_NOFOLLOW refuses a link in the last part of the path.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISLNK(mode)) return FileKind::kSymbolicLink;
  if (S_ISDIR(mode)) return FileKind::kFolder;
  if (S_ISFIFO(mode)) return FileKind::kFifo;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kDevice;
}

FileFacts FactsOf(const struct stat& info) {
  auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  return {KindOf(info.st_mode), info.st_nlink,    static_cast<uint64_t>(info.st_size),
          ns(info.st_mtim),     ns(info.st_ctim), info.st_dev,
          info.st_ino};
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct PlainFile {
  UniqueFd fd;
  bool created = false;  // by this open
};

// The plain file at path, opened as mail delivery agents open a mailbox: lstat, refuse anything
// but a regular file of one name, open without following a link, fstat, and compare the two, so
// that what was opened is what the path names. With create, a missing file is made (O_EXCL, which
// never follows a link either). A path that changes under us is looked at again, a few times.
PlainFile OpenPlainFile(const std::string& path, int access, bool create) {
  CheckPath(path);
  for (int attempt = 0; attempt < 10; ++attempt) {
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) {
      if (errno != ENOENT || !create) ThrowErrno("cannot open", path);
      UniqueFd fd(open(path.c_str(), access | O_CREAT | O_EXCL | kOpenFlags, 0666));
      if (fd.valid()) return {std::move(fd), true};
      if (errno == EEXIST) continue;  // made by another meanwhile
      ThrowErrno("cannot create", path);
    }
    RequirePlainFile(path, FactsOf(named));
    UniqueFd fd(open(path.c_str(), access | kOpenFlags));
    if (!fd.valid() && errno == ELOOP) throw RefusedFile(path, "a symbolic link");
    if (!fd.valid() && errno == ENOENT) continue;  // renamed or removed meanwhile
    if (!fd.valid()) ThrowErrno("cannot open", path);
    struct stat opened {};
    if (fstat(fd.get(), &opened) != 0) ThrowErrno("cannot examine", path);
    RequirePlainFile(path, FactsOf(opened));
    if (SameFile(named, opened)) return {std::move(fd), false};
  }
  throw RefusedFile(path, "replaced again and again while it was opened");
}

// path with every link, "." and ".." in it followed; empty where that cannot be done.
std::string RealPath(const std::string& path) {
  std::error_code error;
  return std::filesystem::canonical(path, error);
}

// True once the lock is ours; false while another holds it. A file system without flock has no
// lock to agree on: the claim and the feed then go ahead as they did before there was one.
bool TryLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
  return true;
}

// True while the name path still stands for fd's file, itself and not through a link.
bool StillAtPath(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && SameFile(opened, named);
}

// A file opened by path, to be read from its start or appended to.
class PosixFile final : public ReadableFile, public AppendableFile {
 public:
  PosixFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  // Unlocked before the close, so that the relay, woken by the close, finds the lock free.
  ~PosixFile() override {
    if (locked_) flock(fd_.get(), LOCK_UN);
  }
  size_t Read(char* buffer, size_t size) override {
    if (!fd_.valid()) throw RelayError("file is closed");
    for (;;) {
      ssize_t n = read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) ThrowErrno("cannot read", "the file");
    }
  }
  void Close() override { fd_.Reset(); }
  uint64_t Size() override {
    struct stat info {};
    if (fstat(fd_.get(), &info) != 0) ThrowErrno("cannot examine", path_);
    return static_cast<uint64_t>(info.st_size);
  }
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
    const ssize_t got = pread(fd_.get(), buffer, size, static_cast<off_t>(offset));
    if (got < 0) ThrowErrno("cannot read", path_);
    return static_cast<size_t>(got);
  }
  void Append(std::string_view bytes) override { WriteAll(fd_.get(), bytes, path_); }
  void Sync() override {
    if (fsync(fd_.get()) != 0) ThrowErrno("cannot flush", path_);
  }
  void CutBackTo(uint64_t length) override {
    if (ftruncate(fd_.get(), static_cast<off_t>(length)) != 0) {
      // The error that brought the caller here is the one worth reporting.
    }
  }
  bool TryLock() override { return locked_ = cw::TryLock(fd_.get()); }
  bool StillAtPath() override { return cw::StillAtPath(fd_.get(), path_); }

 private:
  UniqueFd fd_;
  const std::string path_;
  bool locked_ = false;
};

// A file on another file system than its claim file (a failed-message file elsewhere) cannot be
// renamed into place: its bytes go into a new claim file, which reaches the disk, and only then is
// the file removed. A crash in between sends its messages twice but never loses one; a file that
// cannot be removed takes its copy back, so that nothing is sent again and again.
void ClaimByCopy(int fd, const std::string& from, const std::string& to) {
  UniqueFd copy(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, 0666));
  if (!copy.valid()) ThrowErrno("cannot create", to);
  try {
    char block[65536];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd, block, sizeof block, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ThrowErrno("cannot read", from);
      if (n == 0) break;
      WriteAll(copy.get(), std::string_view(block, static_cast<size_t>(n)), to);
      at += n;
    }
    if (fsync(copy.get()) != 0 || copy.Reset() != 0) ThrowErrno("cannot write", to);
    if (unlink(from.c_str()) != 0) ThrowErrno("cannot remove", from);
  } catch (...) {
    unlink(to.c_str());
    throw;
  }
}

}  // namespace

bool PosixFileSystem::Claim(const std::string& from, const std::string& to) {
  CheckPath(to);
  UniqueFd fd = OpenPlainFile(from, O_RDONLY, false).fd;
  // A feed is writing: it unlocks before it closes, so its close event brings us back at once.
  if (!TryLock(fd.get())) return false;
  // The file was replaced at its path between our open and our lock: the next tick looks again.
  if (!StillAtPath(fd.get(), from)) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EXDEV) {
    ClaimByCopy(fd.get(), from, to);
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) ThrowErrno("cannot rename", from);
  if (link(from.c_str(), to.c_str()) != 0) ThrowErrno("cannot rename", from);
  if (unlink(from.c_str()) != 0) ThrowErrno("cannot remove", from);
  return true;
}

std::unique_ptr<AppendableFile> PosixFileSystem::OpenToAppend(const std::string& path, bool feed) {
  PlainFile file = OpenPlainFile(path, O_RDWR | O_APPEND, true);
  // Any feeder of the folder's group may append to a file that one of them made.
  struct stat info {};
  if (feed && file.created && fstat(file.fd.get(), &info) == 0)
    fchmod(file.fd.get(), (info.st_mode & 07777) | S_IRGRP | S_IWGRP);
  return std::make_unique<PosixFile>(std::move(file.fd), path);
}

std::unique_ptr<ReadableFile> PosixFileSystem::OpenForReading(const std::string& path) {
  return std::make_unique<PosixFile>(OpenPlainFile(path, O_RDONLY, false).fd, path);
}

std::unique_ptr<ReadableFile> StandardInput() {
  return std::make_unique<PosixFile>(UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)),
                                     "standard input");
}

void PosixFileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (unlink(path.c_str()) != 0) ThrowErrno("cannot delete", path);
}

std::string PosixFileSystem::ResolvedPath(const std::string& path) const {
  const size_t slash = path.rfind('/');
  const std::string folder = RealPath(slash == std::string::npos ? "." : path.substr(0, slash + 1));
  return folder.empty() ? path : folder + "/" + path.substr(slash + 1);
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

std::optional<FileFacts> PosixFileSystem::Facts(const std::string& path, Link link) const {
  struct stat info {};
  if (path.find('\0') != std::string::npos ||
      (link == Link::kFollowed ? stat : lstat)(path.c_str(), &info) != 0)
    return std::nullopt;
  return FactsOf(info);
}

void PosixFileSystem::RequireReadableIfPresent(const std::string& path) const {
  CheckPath(path);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return;
  // The file an administrator edits: where a link leads, even where it leads to nothing.
  std::string target = RealPath(path);
  std::error_code error;
  if (target.empty() && S_ISLNK(info.st_mode)) target = std::filesystem::read_symlink(path, error);
  if (target.empty()) target = path;
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) ThrowErrno("cannot read", target);
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw RelayError("cannot read " + target + ": not a file");
  }
}

}  // namespace cw
