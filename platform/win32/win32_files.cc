#include "platform/win32/win32_files.h"

#include "platform/win32/windows_api.h"

#include "platform/errors.h"
#include "platform/whole_lines.h"

namespace cw {
namespace {

constexpr DWORD kProfileBufferSize = 2048;

[[noreturn]] void ThrowLastError(const std::string& what, const std::string& path) {
  throw RelayError(what + " " + path + ": error " + std::to_string(GetLastError()));
}

// The "A" functions take C strings: a path with a NUL in it names no file.
void CheckPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw RelayError("path holds a NUL byte");
}

class Win32ReadableFile final : public ReadableFile {
 public:
  explicit Win32ReadableFile(HANDLE file) : file_(file) {}
  ~Win32ReadableFile() override { Close(); }
  size_t Read(char* buffer, size_t size) override {
    if (file_ == INVALID_HANDLE_VALUE) throw RelayError("file is closed");
    DWORD wanted = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(file_, buffer, wanted, &got, nullptr)) ThrowLastError("cannot read", "file");
    return got;
  }
  void Close() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE file_;
};

}  // namespace

bool Win32FileSystem::IsAbsolutePath(const std::string& path) const {
  return (!path.empty() && path[0] == '\\') || (path.size() >= 2 && path[1] == ':');
}

void Win32FileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  CheckPath(from);
  CheckPath(to);
  if (!MoveFileExA(from.c_str(), to.c_str(), 0)) ThrowLastError("cannot rename", from);
}

std::unique_ptr<ReadableFile> Win32FileSystem::OpenForReading(const std::string& path) {
  CheckPath(path);
  // The writer may still hold the file open for reading; it cannot hold the claim file, which
  // it never names.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    throw RelayError("not a regular file: " + path);
  }
  return std::make_unique<Win32ReadableFile>(file);
}

bool Win32FileSystem::Exists(const std::string& path) {
  return path.find('\0') == std::string::npos &&
         GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Win32FileSystem::Delete(const std::string& path) {
  CheckPath(path);
  if (!DeleteFileA(path.c_str())) ThrowLastError("cannot delete", path);
}

void Win32FileSystem::AppendLine(const std::string& path, const std::string& line) {
  CheckPath(path);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  struct Closer {
    HANDLE file;
    ~Closer() { CloseHandle(file); }
  } closer{file};
  if (GetFileType(file) != FILE_TYPE_DISK) throw RelayError("not a disk file: " + path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) ThrowLastError("cannot examine", path);
  const uint64_t whole = EndOfWholeLines(size.QuadPart, [&](uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(count), &got, &at))
      ThrowLastError("cannot read", path);
    bytes.resize(got);
    return bytes;
  });
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(whole);
  if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
    ThrowLastError("cannot cut", path);
  const std::string record = line + "\r\n";
  for (size_t done = 0; done < record.size();) {
    const size_t left = record.size() - done;
    DWORD wrote = 0;
    if (!WriteFile(file, record.data() + done, left > 0x10000000 ? 0x10000000 : DWORD(left), &wrote,
                   nullptr) ||
        wrote == 0)
      ThrowLastError("cannot write", path);
    done += wrote;
  }
  if (!FlushFileBuffers(file)) ThrowLastError("cannot flush", path);
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
