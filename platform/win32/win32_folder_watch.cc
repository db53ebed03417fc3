#include "platform/win32/win32_folder_watch.h"

#include "base/errors.h"

namespace cw {

void Win32FolderWatch::Watch(const std::string& folder, const std::string& name) {
  if (handle_ != nullptr && folder == folder_ && name == name_) return;
  StopWatching();
  if (folder.find('\0') != std::string::npos) throw RelayError("the folder holds a NUL byte");
  // A file renamed or moved in, or written.
  HANDLE handle = FindFirstChangeNotificationA(
      folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    throw RelayError("error " + std::to_string(GetLastError()));
  }
  handle_ = handle;
  folder_ = folder;
  name_ = name;
}

void Win32FolderWatch::StopWatching() {
  if (handle_ != nullptr) FindCloseChangeNotification(handle_);
  handle_ = nullptr;
  folder_.clear();
  name_.clear();
}

bool Win32FolderWatch::TakeAppeared() {
  if (handle_ == nullptr || WaitForSingleObject(handle_, 0) != WAIT_OBJECT_0) return false;
  if (!FindNextChangeNotification(handle_)) {
    StopWatching();  // the folder went away: the next cycle watches it again
    return false;
  }
  return GetFileAttributesA((folder_ + name_).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace cw
