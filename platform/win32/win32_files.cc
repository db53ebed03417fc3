#include "platform/win32/win32_files.h"

#include "platform/win32/windows_api.h"

#include <cstdint>
#include <string_view>

#include "base/ascii.h"
#include "base/errors.h"
#include "platform/file_rules.h"
#include "platform/win32/win32_clock.h"
#include "settings/profile_format.h"

namespace cw {
namespace {

// The profile functions' buffer: the longest value and its NUL.
constexpr DWORD kProfileBufferSize = kMaxProfileValue + 1;

[[noreturn]] void ThrowLastError(const std::string& what, const std::string& path) {
  throw RelayError(what + " " + path + ": error " + std::to_string(GetLastError()));
}

// Standard input where there is none: a program without a console that was not redirected.
class NoInput final : public ReadableFile {
 public:
  size_t Read(char*, size_t) override { return 0; }
  void Close() override {}
};

using OwnedFile = OwnedHandle<HANDLE, CloseHandle>;

void WriteAll(HANDLE file, std::string_view bytes, const std::string& path) {
  for (size_t done = 0; done < bytes.size();) {
    const size_t left = bytes.size() - done;
    DWORD wrote = 0;
    if (!WriteFile(file, bytes.data() + done, left > 0x10000000 ? 0x10000000 : DWORD(left), &wrote,
                   nullptr) ||
        wrote == 0)
      ThrowLastError("cannot write", path);
    done += wrote;
  }
}

int64_t NanosecondsSince1970(const FILETIME& time) {
  return static_cast<int64_t>(TicksOf(time) - kTicksBefore1970) * 100;
}

FileKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::kReparsePoint;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kFolder;
  return FileKind::kRegular;
}

FileFacts FactsOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {.kind = KindOf(info.dwFileAttributes),
          .names = info.nNumberOfLinks,
          .size = ULONGLONG{info.nFileSizeHigh} << 32 | info.nFileSizeLow,
          .modified_ns = NanosecondsSince1970(info.ftLastWriteTime),
          .device = info.dwVolumeSerialNumber,
          .inode = ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

// The plain file at path, opened without following a link: what stands there is looked at first,
// the open takes a reparse point itself rather than its target, and the handle then tells what was
// opened, so a link swapped in meanwhile is refused as well. A handle that is refused is closed
// unread. Returns INVALID_HANDLE_VALUE, with the system's error, when CreateFile fails.
HANDLE OpenPlainFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  CheckPath(path);
  const DWORD named = GetFileAttributesA(path.c_str());
  if (named != INVALID_FILE_ATTRIBUTES) RequirePlainFile(path, {.kind = KindOf(named)});
  HANDLE file = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  OwnedFile opened(file);
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK) RequirePlainFile(path, {.kind = FileKind::kDevice});
  if (!GetFileInformationByHandle(file, &info)) ThrowLastError("cannot examine", path);
  RequirePlainFile(path, FactsOf(info));
  return opened.release();  // the caller's now
}

// A file opened by path, to be read from its start or appended to; standard input is not owned.
// The lock is the share mode it was opened with: a claim's rename waits for its close.
class Win32File final : public ReadableFile, public AppendableFile {
 public:
  Win32File(HANDLE file, std::string path, bool owned = true)
      : file_(file), path_(std::move(path)), owned_(owned) {}
  ~Win32File() override { Close(); }
  size_t Read(char* buffer, size_t size) override {
    if (file_ == INVALID_HANDLE_VALUE) throw RelayError("file is closed");
    DWORD wanted = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (ReadFile(file_, buffer, wanted, &got, nullptr)) return got;
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;  // a pipe's writer has closed its end
    ThrowLastError("cannot read", "the file");
  }
  void Close() override {
    if (file_ != INVALID_HANDLE_VALUE && owned_) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
  uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_, &size)) ThrowLastError("cannot examine", path_);
    return static_cast<uint64_t>(size.QuadPart);
  }
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file_, buffer, static_cast<DWORD>(size), &got, &at))
      ThrowLastError("cannot read", path_);
    return got;
  }
  void Append(std::string_view bytes) override {
    if (!SetFilePointerEx(file_, LARGE_INTEGER{}, nullptr, FILE_END))
      ThrowLastError("cannot seek", path_);
    WriteAll(file_, bytes, path_);
  }
  void Sync() override {
    if (!FlushFileBuffers(file_)) ThrowLastError("cannot flush", path_);
  }
  void CutBackTo(uint64_t length) override {
    SetFilePointerEx(file_, LARGE_INTEGER{.QuadPart = static_cast<LONGLONG>(length)}, nullptr,
                     FILE_BEGIN);
    SetEndOfFile(file_);
  }
  bool TryLock() override { return true; }
  bool StillAtPath() override { return true; }  // no FILE_SHARE_DELETE: no rename meanwhile

 private:
  HANDLE file_;
  const std::string path_;
  const bool owned_;
};

}  // namespace

bool Win32FileSystem::IsAbsolutePath(const std::string& path) const {
  return (!path.empty() && path[0] == '\\') || (path.size() >= 2 && path[1] == ':');
}

bool Win32FileSystem::Claim(const std::string& from, const std::string& to) {
  CheckPath(to);
  // Only a plain file that opens for reading is claimed. It is closed again at once: the rename
  // needs the file to itself.
  HANDLE file = OpenPlainFile(from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) return false;  // a feed is writing
    ThrowLastError("cannot open", from);
  }
  CloseHandle(file);
  // A rename first: only it tells a moved file from one a feed has just created at from again.
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  if (GetLastError() == ERROR_SHARING_VIOLATION) return false;  // a feed is writing
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) ThrowLastError("cannot rename", from);
  // Onto another volume (a failed-message file elsewhere) the file is copied, flushed and then
  // deleted; a copy whose original could not be deleted is taken back, so that nothing is sent
  // again and again.
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    if (GetFileAttributesA(from.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    DeleteFileA(to.c_str());
    throw RelayError("cannot remove " + from + " after copying it to " + to);
  }
  if (GetLastError() == ERROR_SHARING_VIOLATION) return false;
  ThrowLastError("cannot rename", from);
}

std::unique_ptr<AppendableFile> Win32FileSystem::OpenToAppend(const std::string& path, bool feed) {
  HANDLE file = OpenPlainFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  if (file != INVALID_HANDLE_VALUE) return std::make_unique<Win32File>(file, path);
  if (feed && GetLastError() == ERROR_SHARING_VIOLATION) return nullptr;
  ThrowLastError("cannot open", path);
}

std::unique_ptr<ReadableFile> Win32FileSystem::OpenForReading(const std::string& path) {
  // The writer may still hold the file open for reading; it cannot hold the claim file, which
  // it never names.
  HANDLE file = OpenPlainFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  return std::make_unique<Win32File>(file, path);
}

std::unique_ptr<ReadableFile> StandardInput() {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return std::make_unique<NoInput>();
  return std::make_unique<Win32File>(handle, "standard input", false);
}

std::optional<FileFacts> Win32FileSystem::Facts(const std::string& path, Link link) const {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  if (link == Link::kItself) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return FileFacts{.kind = KindOf(data.dwFileAttributes),
                     .size = ULONGLONG{data.nFileSizeHigh} << 32 | data.nFileSizeLow,
                     .modified_ns = NanosecondsSince1970(data.ftLastWriteTime)};
  }
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  const OwnedFile closer(file);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FactsOf(info);
}

void Win32FileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (!DeleteFileA(path.c_str())) ThrowLastError("cannot delete", path);
}

void Win32FileSystem::RequireReadableIfPresent(const std::string& path) const {
  CheckPath(path);
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
    return;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot read", path);
  const OwnedFile closer(file);
  if (GetFileType(file) != FILE_TYPE_DISK) throw RelayError("cannot read " + path + ": not a file");
}

std::string Win32FileSystem::ResolvedPath(const std::string& path) const {
  if (path.find('\0') != std::string::npos) return path;
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string resolved = length == 0 || length >= sizeof full ? path : std::string(full, length);
  for (char& c : resolved) c = FoldCase(c);
  return resolved;
}

std::string Win32ProfileReader::GetPrivateProfileString(const std::string& section,
                                                        const std::string& key,
                                                        const std::string& default_value,
                                                        const std::string& path) {
  for (const std::string* text : {&section, &key, &default_value, &path}) {
    if (text->find('\0') != std::string::npos) return default_value;
  }
  char buffer[kProfileBufferSize];
  DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(),
                                          buffer, kProfileBufferSize, path.c_str());
  if (length >= kProfileBufferSize) length = kProfileBufferSize - 1;
  return std::string(buffer, length);
}

}  // namespace cw
