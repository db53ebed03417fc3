#include "platform/win32/win32_files.h"

#include "platform/win32/windows_api.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "base/ascii.h"
#include "base/errors.h"
#include "platform/file_rules.h"
#include "settings/profile_format.h"

namespace cw {
namespace {

// The profile functions' buffer: the longest value and its NUL.
constexpr DWORD kProfileBufferSize = kMaxProfileValue + 1;

[[noreturn]] void ThrowLastError(const std::string& what, const std::string& path) {
  throw RelayError(what + " " + path + ": error " + std::to_string(GetLastError()));
}

// The "A" functions take C strings: a path with a NUL in it names no file.
void CheckPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw RelayError("path holds a NUL byte");
}

class Win32ReadableFile final : public ReadableFile {
 public:
  Win32ReadableFile(HANDLE file, bool owned = true) : file_(file), owned_(owned) {}
  ~Win32ReadableFile() override { Close(); }
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

 private:
  HANDLE file_;
  bool owned_;
};

// Standard input where there is none: a program without a console that was not redirected.
class NoInput final : public ReadableFile {
 public:
  size_t Read(char*, size_t) override { return 0; }
  void Close() override {}
};

struct HandleCloser {
  HANDLE file;
  ~HandleCloser() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

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

// Writes the pieces at the end of the file and waits for the disk. A write or flush that fails is
// undone: the file is cut back to the length it had, so it holds only what it held before.
void AppendAllOrNothing(HANDLE file, std::initializer_list<std::string_view> pieces,
                        const std::string& path) {
  LARGE_INTEGER size{};
  if (!SetFilePointerEx(file, LARGE_INTEGER{}, &size, FILE_END))
    ThrowLastError("cannot seek", path);
  try {
    for (const std::string_view piece : pieces) WriteAll(file, piece, path);
    if (!FlushFileBuffers(file)) ThrowLastError("cannot flush", path);
  } catch (const RelayError&) {
    SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    throw;
  }
}

// Refuses what stands at path unless it is a plain file: a reparse point (a symbolic link, a
// junction), a folder, a file of several names.
void RequirePlainAttributes(const std::string& path, DWORD attributes, DWORD names) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    RequirePlainFile(path, FileKind::kReparsePoint, names);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) RequirePlainFile(path, FileKind::kFolder, names);
  RequirePlainFile(path, FileKind::kRegular, names);
}

// The plain file at path, opened without following a link: what stands there is looked at first,
// the open takes a reparse point itself rather than its target, and the handle then tells what was
// opened, so a link swapped in meanwhile is refused as well. A handle that is refused is closed
// unread. Returns INVALID_HANDLE_VALUE, with the system's error, when CreateFile fails.
HANDLE OpenPlainFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  CheckPath(path);
  const DWORD named = GetFileAttributesA(path.c_str());
  if (named != INVALID_FILE_ATTRIBUTES) RequirePlainAttributes(path, named, 1);
  HANDLE file = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  HandleCloser closer{file};
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK) RequirePlainFile(path, FileKind::kDevice, 1);
  if (!GetFileInformationByHandle(file, &info)) ThrowLastError("cannot examine", path);
  RequirePlainAttributes(path, info.dwFileAttributes, info.nNumberOfLinks);
  closer.file = INVALID_HANDLE_VALUE;  // the caller's now
  return file;
}

// Whether the file (open for reading) ends its last line.
bool EndsInLineEnd(HANDLE file, const std::string& path) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) ThrowLastError("cannot examine", path);
  const LONGLONG from = size.QuadPart >= 2 ? size.QuadPart - 2 : 0;
  char tail[2];
  DWORD got = 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(from);
  at.OffsetHigh = static_cast<DWORD>(from >> 32);
  if (size.QuadPart > 0 &&
      !ReadFile(file, tail, static_cast<DWORD>(size.QuadPart - from), &got, &at))
    ThrowLastError("cannot read", path);
  return cw::EndsInLineEnd(std::string_view(tail, got));
}

// Appends text and then end as AppendAllOrNothing does, after a CR LF when the file's last line
// has no line end, so that what it held and what is added stay lines of their own; true when that
// CR LF was needed.
bool AppendOnALineOfItsOwn(HANDLE file, std::string_view text, std::string_view end,
                           const std::string& path) {
  const bool separate = !EndsInLineEnd(file, path);
  AppendAllOrNothing(file, {separate ? "\r\n" : "", text, end}, path);
  return separate;
}

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

void Win32FileSystem::AppendForRelay(const std::string& path, std::string_view record,
                                     int wait_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
  HANDLE file = INVALID_HANDLE_VALUE;
  for (DWORD pause_ms = 1;; pause_ms = pause_ms < 20 ? pause_ms * 2 : 20) {
    file = OpenPlainFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (file != INVALID_HANDLE_VALUE) break;
    if (GetLastError() != ERROR_SHARING_VIOLATION) ThrowLastError("cannot open", path);
    if (GetTickCount64() >= deadline) {
      throw RelayError(path + " stayed locked by the relay or another feed for " +
                       std::to_string(wait_ms / 1000) + " s");
    }
    ::Sleep(pause_ms);
  }
  HandleCloser closer{file};
  AppendOnALineOfItsOwn(file, record, "", path);
}

std::unique_ptr<ReadableFile> Win32FileSystem::OpenForReading(const std::string& path) {
  // The writer may still hold the file open for reading; it cannot hold the claim file, which
  // it never names.
  HANDLE file = OpenPlainFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  return std::make_unique<Win32ReadableFile>(file);
}

std::unique_ptr<ReadableFile> StandardInput() {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return std::make_unique<NoInput>();
  return std::make_unique<Win32ReadableFile>(handle, false);
}

std::optional<FileSummary> Win32FileSystem::Summary(const std::string& path) const {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.find('\0') != std::string::npos ||
      !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  const ULONGLONG written =
      ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
  return FileSummary{
      ULONGLONG{data.nFileSizeHigh} << 32 | data.nFileSizeLow,
      static_cast<int64_t>((written - 116444736000000000ull) / 10000000ull),
      !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))};
}

bool Win32FileSystem::Exists(const std::string& path) {
  return path.find('\0') == std::string::npos &&
         GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Win32FileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (!DeleteFileA(path.c_str())) ThrowLastError("cannot delete", path);
}

bool Win32FileSystem::AppendLine(const std::string& path, const std::string& line) {
  HANDLE file = OpenPlainFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  HandleCloser closer{file};
  return AppendOnALineOfItsOwn(file, line, "\r\n", path);
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
  HandleCloser closer{file};
  if (GetFileType(file) != FILE_TYPE_DISK) throw RelayError("cannot read " + path + ": not a file");
}

std::string Win32FileSystem::FileIdentity(const std::string& path) const {
  if (path.find('\0') != std::string::npos) return "path " + path;
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (known) {
      return "file " + std::to_string(info.dwVolumeSerialNumber) + ":" +
             std::to_string(uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow);
    }
  }
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string identity =
      "path " + (length == 0 || length >= sizeof full ? path : std::string(full, length));
  for (char& c : identity) c = FoldCase(c);  // Windows names ignore letter case
  return identity;
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
