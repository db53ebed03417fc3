#pragma once
// The folder watch on a change notification: one handle that the message loop waits on together
// with the window's messages. No thread and no polling: idle, it costs nothing.
#include <string>

#include "platform/folder_watch.h"
#include "platform/win32/windows_api.h"

namespace cw {

class Win32FolderWatch final : public FolderWatch {
 public:
  Win32FolderWatch() = default;
  ~Win32FolderWatch() override { StopWatching(); }
  Win32FolderWatch(const Win32FolderWatch&) = delete;
  Win32FolderWatch& operator=(const Win32FolderWatch&) = delete;

  void Watch(const std::string& folder, const std::string& name) override;
  void StopWatching() override;

  // For the message loop: the handle to wait on (null when nothing is watched), and, once it is
  // signalled, whether the watched file is there now. The notification names no file, so a
  // change of any file in the folder makes the loop look for ours.
  HANDLE Handle() const { return handle_; }
  bool TakeAppeared();

 private:
  HANDLE handle_ = nullptr;
  std::string folder_;
  std::string name_;
};

}  // namespace cw
