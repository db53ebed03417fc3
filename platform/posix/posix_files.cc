#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>

#include "base/errors.h"
#include "platform/posix/unique_fd.h"

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
      if (errno != EINTR) ThrowErrno("cannot read", "the file");
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

void WriteAll(int fd, std::string_view text, const std::string& path) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno("Cannot write", path);
    done += static_cast<size_t>(n);
  }
}

// fd, which must be a regular file's, or a RelayError naming path.
UniqueFd RegularFile(UniqueFd fd, const std::string& path) {
  if (!fd.valid()) ThrowErrno("cannot open", path);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw RelayError("not a regular file: " + path);
  }
  return fd;
}

// O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// True once the lock is ours; false while another holds it. A file system without flock has no
// lock to agree on: the claim and the feed then go ahead as they did before there was one.
bool TryLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
  return true;
}

bool StillAtPath(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// A feed's file; one it creates gets group read and write on top of what the umask leaves, so
// that every member of the folder's group can append to it.
UniqueFd OpenOrCreateForAppend(const std::string& path) {
  for (;;) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | kOpenFlags));
    if (fd.valid() || errno != ENOENT) return RegularFile(std::move(fd), path);
    fd.Reset(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | kOpenFlags, 0666));
    if (!fd.valid() && errno == EEXIST) continue;  // another feed made it first
    if (!fd.valid()) ThrowErrno("cannot create", path);
    struct stat info {};
    if (fstat(fd.get(), &info) == 0) fchmod(fd.get(), (info.st_mode & 07777) | S_IRGRP | S_IWGRP);
    return fd;
  }
}

// Writes the pieces at the end of fd's file and waits for the disk. A write or flush that fails is
// undone: the file is cut back to the length it had, so it holds only what it held before.
void AppendAllOrNothing(int fd, std::initializer_list<std::string_view> pieces,
                        const std::string& path) {
  struct stat info {};
  if (fstat(fd, &info) != 0) ThrowErrno("cannot examine", path);
  try {
    for (const std::string_view piece : pieces) WriteAll(fd, piece, path);
    if (fsync(fd) != 0) ThrowErrno("cannot flush", path);
  } catch (const RelayError&) {
    if (ftruncate(fd, info.st_size) != 0) {
      // The error that brought us here is the one worth reporting.
    }
    throw;
  }
}

}  // namespace

bool PosixFileSystem::Claim(const std::string& from, const std::string& to) {
  CheckPath(from);
  CheckPath(to);
  UniqueFd fd = RegularFile(UniqueFd(open(from.c_str(), O_RDONLY | kOpenFlags)), from);
  // A feed is writing: it unlocks before it closes, so its close event brings us back at once.
  if (!TryLock(fd.get())) return false;
  // The file was replaced at its path between our open and our lock: the next tick looks again.
  if (!StillAtPath(fd.get(), from)) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) ThrowErrno("cannot rename", from);
  if (link(from.c_str(), to.c_str()) != 0) ThrowErrno("cannot rename", from);
  if (unlink(from.c_str()) != 0) ThrowErrno("cannot remove", from);
  return true;
}

void PosixFileSystem::AppendForRelay(const std::string& path, std::string_view record,
                                     int wait_ms) {
  CheckPath(path);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  int pause_ms = 1;
  auto wait_a_little = [&] {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw RelayError(path + " stayed locked by the relay or another feed for " +
                       std::to_string(wait_ms / 1000) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 20);
  };
  for (;;) {
    UniqueFd fd = OpenOrCreateForAppend(path);
    while (!TryLock(fd.get())) wait_a_little();
    // A claim may have renamed the file while we waited for the lock: then a new one is due.
    if (!StillAtPath(fd.get(), path)) {
      wait_a_little();
      continue;
    }
    AppendAllOrNothing(fd.get(), {record}, path);
    // Unlocked before the close, so that the relay, woken by the close, finds the lock free.
    flock(fd.get(), LOCK_UN);
    return;
  }
}

std::unique_ptr<ReadableFile> PosixFileSystem::OpenForReading(const std::string& path) {
  CheckPath(path);
  return std::make_unique<PosixReadableFile>(
      RegularFile(UniqueFd(open(path.c_str(), O_RDONLY | kOpenFlags)), path));
}

std::unique_ptr<ReadableFile> StandardInput() {
  return std::make_unique<PosixReadableFile>(UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)));
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat info {};
  return path.find('\0') == std::string::npos && lstat(path.c_str(), &info) == 0;
}

void PosixFileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (unlink(path.c_str()) != 0) ThrowErrno("cannot delete", path);
}

bool PosixFileSystem::AppendLine(const std::string& path, const std::string& line) {
  CheckPath(path);
  UniqueFd fd = RegularFile(
      UniqueFd(open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | kOpenFlags, 0666)), path);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) ThrowErrno("cannot examine", path);
  char tail[2] = {'\r', '\n'};
  if (info.st_size > 0 && pread(fd.get(), tail, 2, std::max<off_t>(info.st_size - 2, 0)) < 0)
    ThrowErrno("cannot read", path);
  const bool ends_in_crlf =
      info.st_size == 0 || (info.st_size >= 2 && tail[0] == '\r' && tail[1] == '\n');
  AppendAllOrNothing(fd.get(), {ends_in_crlf ? "" : "\r\n", line, "\r\n"}, path);
  return !ends_in_crlf;
}

std::string PosixFileSystem::FileIdentity(const std::string& path) const {
  struct stat info {};
  if (path.find('\0') == std::string::npos && stat(path.c_str(), &info) == 0)
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char* resolved = realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return "path " + path;
  std::string identity = "path " + std::string(resolved) + "/" + path.substr(slash + 1);
  std::free(resolved);
  return identity;
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

std::optional<FileSummary> PosixFileSystem::Summary(const std::string& path) const {
  const std::optional<FileStamp> stamp = Stamp(path);
  if (!stamp) return std::nullopt;
  return FileSummary{stamp->size, stamp->modified_ns / 1'000'000'000};
}

std::optional<FileStamp> PosixFileSystem::Stamp(const std::string& path) const {
  struct stat info {};
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode))
    return std::nullopt;
  auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  return FileStamp{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<uint64_t>(info.st_size), ns(info.st_mtim), ns(info.st_ctim)};
}

}  // namespace cw
